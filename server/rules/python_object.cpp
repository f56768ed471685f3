// CPythonObject: owned and borrowed references, the str conversions, and Python errors as
// CMessageException.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "server/rules/python_object.h"

#include <utility>

#include "common/exception.h"

namespace Ovrin {

namespace {

// Message bytes need not be UTF-8; this handler maps each undecodable byte to a lone
// surrogate and back, so scripts never fail on them and results keep them.
constexpr const char* kLosslessErrors = "surrogateescape";

// str(object) as 8-bit text, or nothing when Python raised.
bool TextOf(PyObject* object, std::string& text) {
    PyObject* str = PyObject_Str(object);
    if (str == nullptr)
        return false;
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", kLosslessErrors);
    Py_DECREF(str);
    if (bytes == nullptr)
        return false;
    text.assign(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return true;
}

// The text of one part of a fetched error; a part that cannot be shown says so.
std::string TextOfPart(PyObject* part, const char* missing) {
    if (part == nullptr)
        return missing;
    std::string text;
    if (!TextOf(part, text)) {
        PyErr_Clear();
        return missing;
    }
    return text;
}

}  // namespace

CPythonObject::CPythonObject(Pointer object, bool owned) : object(object), owned(owned) {
    if (object == nullptr)
        ThrowPythonException("Python call failed with no exception");
}

CPythonObject::~CPythonObject() {
    if (owned)
        Py_XDECREF(object);
}

CPythonObject::CPythonObject(CPythonObject&& other) noexcept
    : object(std::exchange(other.object, nullptr)), owned(std::exchange(other.owned, false)) {}

CPythonObject& CPythonObject::operator=(CPythonObject&& other) noexcept {
    if (this != &other) {
        CPythonObject gone(std::move(*this));
        object = std::exchange(other.object, nullptr);
        owned = std::exchange(other.owned, false);
    }
    return *this;
}

CPythonObject CPythonObject::FromString(std::string_view text) {
    return CPythonObject(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), kLosslessErrors), true);
}

CPythonObject CPythonObject::FromLong(long value) { return CPythonObject(PyLong_FromLong(value), true); }

CPythonObject CPythonObject::None() { return CPythonObject(Py_NewRef(Py_None), true); }

CPythonObject::Pointer CPythonObject::Detach() noexcept {
    owned = false;
    return std::exchange(object, nullptr);
}

std::string CPythonObject::ToString() const {
    std::string text;
    if (!TextOf(object, text))
        ThrowPythonException("PyObject_Str() failed with no exception");
    return text;
}

void ThrowPythonException(const char* withoutException) {
    if (PyErr_Occurred() == nullptr)
        throw CMessageException("%s", withoutException);
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // The compiler raises with a bare argument tuple; only the exception object reads well.
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(traceback);
    const std::string typeText = TextOfPart(type, "no type");
    const std::string valueText = TextOfPart(value, "no value");
    Py_XDECREF(type);
    Py_XDECREF(value);
    throw CMessageException("Python exception %s: %s", typeText.c_str(), valueText.c_str());
}

}  // namespace Ovrin
