#include "interrupt_check.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace quilane {

namespace {

// The ident of the interpreter's main thread, 0 until known. Learned from the threading module,
// and only once something else imported it (importing it here would slow every cold start); until
// then every check takes the lock, as a program without that module has a single thread anyway.
std::atomic<unsigned long> known_main_thread{0};

// Runs Python code, in which a signal handler may run and raise: false then, with the exception
// pending.
bool learned_main_thread() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* threading = PyDict_GetItemString(modules, "threading");
    if (threading == nullptr) {
        return true;
    }
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    PyObject* ident = main != nullptr ? PyObject_GetAttrString(main, "ident") : nullptr;
    const unsigned long value = ident != nullptr ? PyLong_AsUnsignedLong(ident) : 0;
    Py_XDECREF(ident);
    Py_XDECREF(main);
    if (PyErr_Occurred()) {
        return false;
    }
    known_main_thread.store(value);
    return true;
}

}  // namespace

bool python_signal_raised() {
    // Other threads need not take the lock to learn that they have nothing to run: a released
    // call checks every few milliseconds, and taking the lock that often would slow the Python
    // threads around it.
    const unsigned long main = known_main_thread.load();
    if (main != 0 && PyThread_get_thread_ident() != main) {
        return false;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0 || (main == 0 && !learned_main_thread());
    PyGILState_Release(state);
    return raised;
}

}  // namespace quilane
