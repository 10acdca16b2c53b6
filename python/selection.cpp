#include "selection.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "arguments.hpp"
#include "errors.hpp"
#include "index_object.hpp"
#include "notes.hpp"
#include "numpy_api.hpp"

namespace quilane {

namespace {

OwnedRef owned(PyObject* obj) {
    if (obj == nullptr) {
        throw_python_error();
    }
    return OwnedRef(obj);
}

// str(array.dtype) and array.dtype.kind.
struct DtypeName {
    std::string name;
    char kind = '\0';
};

DtypeName dtype_of(PyObject* array) {
    const OwnedRef dtype = owned(PyObject_GetAttrString(array, "dtype"));
    const OwnedRef name = owned(PyObject_Str(dtype.get()));
    const OwnedRef kind = owned(PyObject_GetAttrString(dtype.get(), "kind"));
    const std::string kind_text = to_utf8(kind.get(), "dtype.kind");
    return {to_utf8(name.get(), "dtype"), kind_text.empty() ? '\0' : kind_text[0]};
}

// numpy.ascontiguousarray(array, dtype=dtype): the array itself when it already is one.
OwnedRef contiguous_as(PyObject* array, const char* dtype) {
    const OwnedRef numpy = owned(PyImport_ImportModule("numpy"));
    const OwnedRef convert = owned(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
    return owned(PyObject_CallFunction(convert.get(), "Os", array, dtype));
}

// The checks every selecting array meets first: an ndarray of one dimension.
void check_one_dimensional(PyObject* obj, const char* argument, const std::string& needed,
                           const char* conversion) {
    if (!is_array(obj)) {
        set_cast_error(obj, "ndarray");
        try {
            raise_argument_error(argument);
        } catch (const PythonErrorSet&) {
            raise_with_note([&] { return array_note(obj, argument, needed, conversion); });
        }
    }
    if (array_ndim(obj) != 1) {
        raise_value_error(std::string(argument) + " must be 1-D, not " +
                          std::to_string(array_ndim(obj)) + "-D");
    }
}

[[noreturn]] void raise_out_of_range(const char* argument, const std::string& position,
                                     uint64_t n) {
    raise_value_error(std::string(argument) + " holds position " + position +
                      ", out of range for an index of " + std::to_string(n) + " vectors");
}

std::vector<uint64_t> checked_positions(PyObject* obj, const char* argument, uint64_t n,
                                        char kind) {
    std::vector<uint64_t> positions;
    if (kind == 'i') {
        const OwnedRef signed_array = contiguous_as(obj, "int64");
        const ArrayValues<int64_t> values =
            contiguous_elements<int64_t>(signed_array.get(), argument, "");
        positions.reserve(values.values.size());
        for (const int64_t value : values.values) {
            if (value < 0 || static_cast<uint64_t>(value) >= n) {
                raise_out_of_range(argument, std::to_string(value), n);
            }
            positions.push_back(static_cast<uint64_t>(value));
        }
        return positions;
    }
    const OwnedRef unsigned_array = contiguous_as(obj, "uint64");
    const ArrayValues<uint64_t> values =
        contiguous_elements<uint64_t>(unsigned_array.get(), argument, "");
    for (const uint64_t value : values.values) {
        if (value >= n) {
            raise_out_of_range(argument, std::to_string(value), n);
        }
    }
    return {values.values.begin(), values.values.end()};
}

std::vector<uint64_t> empty_bitmap(uint64_t n) {
    // One word at least, so that nothing allowed is never read as no filter at all.
    return std::vector<uint64_t>(std::max<uint64_t>(1, (n + 63) / 64), 0);
}

void allow_position(std::vector<uint64_t>& bitmap, uint64_t position) {
    bitmap[position / 64] |= uint64_t{1} << (position % 64);
}

}  // namespace

std::vector<uint64_t> position_array(PyObject* obj, const char* argument, uint64_t n) {
    check_one_dimensional(obj, argument, "1-D of an integer dtype",
                          "np.asarray(positions, dtype=np.int64)");
    const DtypeName dtype = dtype_of(obj);
    if (dtype.kind != 'i' && dtype.kind != 'u') {
        raise_value_error(std::string(argument) + " must hold integers, not " + dtype.name);
    }
    return checked_positions(obj, argument, n, dtype.kind);
}

std::vector<uint64_t> allowed_positions(PyObject* allow, uint64_t n) {
    check_one_dimensional(allow, "allow", "1-D of dtype bool or an integer dtype",
                          "np.asarray(allow)");
    const DtypeName dtype = dtype_of(allow);
    std::vector<uint64_t> bitmap = empty_bitmap(n);
    if (dtype.kind == 'b') {
        const OwnedRef mask = contiguous_as(allow, "uint8");
        const ArrayValues<uint8_t> values = contiguous_elements<uint8_t>(mask.get(), "allow", "");
        if (values.values.size() != n) {
            raise_value_error("allow is a mask of " + std::to_string(values.values.size()) +
                              " entries but the index holds " + std::to_string(n) + " vectors");
        }
        for (uint64_t p = 0; p < n; ++p) {
            if (values.values[p] != 0) {
                allow_position(bitmap, p);
            }
        }
        return bitmap;
    }
    if (dtype.kind != 'i' && dtype.kind != 'u') {
        raise_value_error("allow must be a boolean mask or an integer array of positions, not " +
                          dtype.name);
    }
    for (const uint64_t position : checked_positions(allow, "allow", n, dtype.kind)) {
        allow_position(bitmap, position);
    }
    return bitmap;
}

std::vector<uint64_t> allowed_ids(PyObject* allow, const IdMapIndex& index) {
    check_one_dimensional(allow, "allow", "1-D of dtype uint64",
                          "np.asarray(allow, dtype=np.uint64)");
    const DtypeName dtype = dtype_of(allow);
    if (dtype.kind != 'u' || dtype.name != "uint64") {
        raise_value_error("allow must be a uint64 array of ids, not " + dtype.name);
    }
    const OwnedRef ids = contiguous_as(allow, "uint64");
    const ArrayValues<uint64_t> values = contiguous_elements<uint64_t>(ids.get(), "allow", "");
    std::vector<uint64_t> bitmap = empty_bitmap(index.len());
    for (const uint64_t id : values.values) {
        if (const std::optional<uint64_t> position = index.position_of(id)) {
            allow_position(bitmap, *position);
        }
    }
    return bitmap;
}

std::vector<uint64_t> stored_positions(std::span<const uint64_t> ids, const IdMapIndex& index) {
    std::vector<uint64_t> positions;
    positions.reserve(ids.size());
    for (const uint64_t id : ids) {
        const std::optional<uint64_t> position = index.position_of(id);
        if (!position) {
            raise_value_error("id " + std::to_string(id) + " is not stored");
        }
        positions.push_back(*position);
    }
    return positions;
}

}  // namespace quilane
