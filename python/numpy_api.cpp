#include "numpy_api.hpp"

#include <array>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "errors.hpp"
#include "types.hpp"

namespace quilane {

namespace {

using npy_intp = Py_ssize_t;

// The leading fields of NumPy's array object; unchanged from NumPy 1.26 to 2.x.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr int kArrayWriteable = 0x0400;

// Positions in NumPy's API table.
constexpr size_t kArrayTypeSlot = 2;
constexpr size_t kDescrFromTypeSlot = 45;
constexpr size_t kNewFromDescrSlot = 94;
constexpr size_t kEquivTypesSlot = 182;
constexpr size_t kSetBaseObjectSlot = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                   PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// NumPy's type numbers. On 64-bit Linux, int64 and uint64 are C long and unsigned long.
template <class T>
constexpr int type_number();
template <>
constexpr int type_number<uint8_t>() {
    return 2;
}
template <>
constexpr int type_number<int64_t>() {
    return 7;
}
template <>
constexpr int type_number<uint64_t>() {
    return 8;
}
template <>
constexpr int type_number<float>() {
    return 11;
}

PyObject* import_multiarray() {
    PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
        // NumPy 1 keeps the module under its old name.
        PyErr_Clear();
        module = PyImport_ImportModule("numpy.core.multiarray");
    }
    return module;
}

// The table and the capsule holding it stay referenced for the life of the process.
void** fetch_api_table() {
    PyObject* module = import_multiarray();
    PyObject* capsule = module != nullptr ? PyObject_GetAttrString(module, "_ARRAY_API") : nullptr;
    Py_XDECREF(module);
    void* table = capsule != nullptr ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    if (table == nullptr) {
        Py_XDECREF(capsule);
        raise_panic("Failed to access NumPy array API capsule: " + take_error_text());
    }
    return static_cast<void**>(table);
}

void** api_table() {
    static void** table = nullptr;
    if (table == nullptr) {
        table = fetch_api_table();
    }
    return table;
}

template <class Function>
Function api_function(size_t slot) {
    return reinterpret_cast<Function>(api_table()[slot]);
}

PyTypeObject* array_type() {
    return static_cast<PyTypeObject*>(api_table()[kArrayTypeSlot]);
}

const ArrayFields& fields(PyObject* array) {
    return *reinterpret_cast<const ArrayFields*>(array);
}

PyObject* descr_from_type(int type) {
    PyObject* descr = api_function<DescrFromType>(kDescrFromTypeSlot)(type);
    if (descr == nullptr) {
        throw_python_error();
    }
    return descr;
}

bool has_element_type(PyObject* array, int type) {
    PyObject* wanted = descr_from_type(type);
    const bool equivalent =
        api_function<EquivTypes>(kEquivTypesSlot)(fields(array).descr, wanted) != 0;
    Py_DECREF(wanted);
    return equivalent;
}

// Strides are compared in bytes, so a stride that is not a whole number of elements never passes.
bool is_c_contiguous_2d(const ArrayFields& array, npy_intp item) {
    const npy_intp rows = array.dimensions[0];
    const npy_intp columns = array.dimensions[1];
    if (rows == 0 || columns == 0) {
        return true;
    }
    const bool columns_ok = columns == 1 || array.strides[1] == item;
    const bool rows_ok = rows == 1 || array.strides[0] == columns * item;
    return columns_ok && rows_ok;
}

bool is_contiguous_1d(const ArrayFields& array, npy_intp item) {
    return array.dimensions[0] < 2 || array.strides[0] == item;
}

template <class T>
ArrayValues<T> values_in_place(const ArrayFields& array, size_t count, size_t rows) {
    ArrayValues<T> result;
    result.rows = rows;
    if (count == 0) {
        return result;
    }
    if (reinterpret_cast<uintptr_t>(array.data) % alignof(T) != 0) {
        result.aligned_copy.resize(count);
        std::memcpy(result.aligned_copy.data(), array.data, count * sizeof(T));
        result.values = result.aligned_copy;
        return result;
    }
    result.values = std::span<const T>(reinterpret_cast<const T*>(array.data), count);
    return result;
}

// The holder that owns a result buffer for as long as a NumPy array uses it.
struct SliceContainer {
    PyObject ob_base;
    void* buffer;
    void (*release)(void*);
};

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->buffer);
    free_instance(self);
}

PyGetSetDef slice_container_getset[] = {kModuleEntry, {}};

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_getset, slice_container_getset},
    {0, nullptr},
};

// Only result_array makes holders; Python code cannot make one without a buffer.
PyType_Spec slice_container_shape = {"PySliceContainer", sizeof(SliceContainer), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                     slice_container_slots};

PyTypeObject* slice_container_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(slice_container_shape);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

template <class T>
void delete_vector(void* buffer) {
    delete static_cast<std::vector<T>*>(buffer);
}

template <class T>
PyObject* new_slice_container(std::unique_ptr<std::vector<T>> buffer) {
    PyObject* self = allocate_instance(slice_container_type());
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->buffer = buffer.release();
    container->release = delete_vector<T>;
    return self;
}

// The shape error of a (rows, columns) view of `length` elements, if any.
std::optional<const char*> shape_error(size_t length, size_t rows, size_t columns) {
    constexpr size_t kMaxElements = std::numeric_limits<npy_intp>::max();
    const size_t nonzero_rows = rows == 0 ? 1 : rows;
    const size_t nonzero_columns = columns == 0 ? 1 : columns;
    if (nonzero_rows > kMaxElements / nonzero_columns) {
        return "ShapeError/Overflow: arithmetic overflow";
    }
    const size_t elements = rows * columns;
    if (elements > length) {
        return "ShapeError/OutOfBounds: out of bounds indexing";
    }
    if (elements < length) {
        return "ShapeError/IncompatibleShape: incompatible shapes";
    }
    return std::nullopt;
}

// A C-ordered array of the given shape (which covers the buffer exactly) that takes over the
// buffer without copying.
template <class T>
PyObject* array_over(std::vector<T>&& buffer, std::initializer_list<npy_intp> shape) {
    auto owned = std::make_unique<std::vector<T>>(std::move(buffer));
    // NumPy allocates memory of its own for a null data pointer; an empty buffer gets a real one.
    owned->reserve(1);
    void* data = owned->data();
    PyObject* holder = new_slice_container(std::move(owned));
    PyObject* descr = api_function<DescrFromType>(kDescrFromTypeSlot)(type_number<T>());
    if (descr == nullptr) {
        Py_DECREF(holder);
        throw_python_error();
    }
    std::array<npy_intp, 2> dims{};
    std::array<npy_intp, 2> strides{};
    const int ndim = static_cast<int>(shape.size());
    std::copy(shape.begin(), shape.end(), dims.begin());
    npy_intp stride = sizeof(T);
    for (int axis = ndim - 1; axis >= 0; --axis) {
        strides[static_cast<size_t>(axis)] = stride;
        stride *= dims[static_cast<size_t>(axis)];
    }
    // Takes the reference to descr, also when it fails.
    PyObject* array = api_function<NewFromDescr>(kNewFromDescrSlot)(
        array_type(), descr, ndim, dims.data(), strides.data(), data, kArrayWriteable, nullptr);
    if (array == nullptr) {
        Py_DECREF(holder);
        throw_python_error();
    }
    // Takes the holder's reference, also when it fails.
    if (api_function<SetBaseObject>(kSetBaseObjectSlot)(array, holder) < 0) {
        Py_DECREF(array);
        throw_python_error();
    }
    return array;
}

}  // namespace

bool is_array(PyObject* obj) {
    return PyObject_TypeCheck(obj, array_type()) != 0;
}

int array_ndim(PyObject* array) {
    return fields(array).nd;
}

size_t array_dimension(PyObject* array, int axis) {
    return static_cast<size_t>(fields(array).dimensions[axis]);
}

template <class T>
void accept_array(PyObject* obj, int ndim, const char* argument) {
    if (!PyObject_TypeCheck(obj, array_type()) || fields(obj).nd != ndim ||
        !has_element_type(obj, type_number<T>())) {
        set_cast_error(obj, "ndarray");
        raise_argument_error(argument);
    }
}

template <class T>
ArrayValues<T> contiguous_rows(PyObject* obj, const char* argument, const char* not_contiguous) {
    accept_array<T>(obj, 2, argument);
    const ArrayFields& array = fields(obj);
    if (!is_c_contiguous_2d(array, sizeof(T))) {
        raise_value_error(not_contiguous);
    }
    const auto rows = static_cast<size_t>(array.dimensions[0]);
    const auto columns = static_cast<size_t>(array.dimensions[1]);
    return values_in_place<T>(array, rows * columns, rows);
}

template <class T>
ArrayValues<T> contiguous_elements(PyObject* obj, const char* argument,
                                   const char* not_contiguous) {
    accept_array<T>(obj, 1, argument);
    const ArrayFields& array = fields(obj);
    if (!is_contiguous_1d(array, sizeof(T))) {
        raise_value_error(not_contiguous);
    }
    const auto count = static_cast<size_t>(array.dimensions[0]);
    return values_in_place<T>(array, count, count);
}

template <class T>
PyObject* result_array(std::vector<T>&& buffer, size_t rows, size_t columns, const char* prefix) {
    if (const auto error = shape_error(buffer.size(), rows, columns)) {
        raise_value_error(std::string(prefix) + *error);
    }
    return array_over(std::move(buffer),
                      {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)});
}

template <class T>
PyObject* result_vector(std::vector<T>&& buffer) {
    const auto length = static_cast<npy_intp>(buffer.size());
    return array_over(std::move(buffer), {length});
}

template void accept_array<float>(PyObject*, int, const char*);
template void accept_array<uint64_t>(PyObject*, int, const char*);
template ArrayValues<float> contiguous_rows<float>(PyObject*, const char*, const char*);
template ArrayValues<uint64_t> contiguous_elements<uint64_t>(PyObject*, const char*, const char*);
template void accept_array<int64_t>(PyObject*, int, const char*);
template ArrayValues<uint8_t> contiguous_elements<uint8_t>(PyObject*, const char*, const char*);
template ArrayValues<int64_t> contiguous_elements<int64_t>(PyObject*, const char*, const char*);
template ArrayValues<int64_t> contiguous_rows<int64_t>(PyObject*, const char*, const char*);
template ArrayValues<uint64_t> contiguous_rows<uint64_t>(PyObject*, const char*, const char*);
template PyObject* result_vector<uint64_t>(std::vector<uint64_t>&&);
template PyObject* result_array<float>(std::vector<float>&&, size_t, size_t, const char*);
template PyObject* result_array<int64_t>(std::vector<int64_t>&&, size_t, size_t, const char*);
template PyObject* result_array<uint64_t>(std::vector<uint64_t>&&, size_t, size_t, const char*);

}  // namespace quilane
