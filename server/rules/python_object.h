// CPythonObject: one reference to a Python object, given back when the holder goes if it owns it.
// Reference counts need the interpreter lock: create, use and drop these only inside the host.
#pragma once

#include <string>
#include <string_view>

struct _object;  // PyObject, declared without pulling <Python.h> into every includer

namespace Ovrin {

class CPythonObject {
public:
    using Pointer = _object*;

    // Empty: holds nothing.
    CPythonObject() = default;
    // A pointer returned by the Python API. A null pointer means the call failed: the pending
    // Python error is thrown as "Python exception %s: %s".
    CPythonObject(Pointer object, bool owned);
    ~CPythonObject();
    CPythonObject(CPythonObject&& other) noexcept;
    CPythonObject& operator=(CPythonObject&& other) noexcept;
    CPythonObject(const CPythonObject&) = delete;
    CPythonObject& operator=(const CPythonObject&) = delete;

    // A str from 8-bit text: UTF-8, with every other byte kept by the surrogateescape handler,
    // so that ToString gives the same bytes back.
    static CPythonObject FromString(std::string_view text);
    static CPythonObject FromLong(long value);
    static CPythonObject None();

    Pointer Get() const { return object; }
    bool IsEmpty() const { return object == nullptr; }
    // Gives up the reference (owned or not) without touching the count.
    Pointer Detach() noexcept;

    // str(object) as UTF-8 with surrogateescape; throws "Python exception %s: %s".
    std::string ToString() const;

private:
    Pointer object = nullptr;
    bool owned = false;
};

// Throws the pending Python error (cleared, traceback dropped) as CMessageException
// "Python exception %s: %s" with the texts of its type and value ("no type", "no value" when
// missing); with no error pending, throws withoutException instead.
[[noreturn]] void ThrowPythonException(const char* withoutException);

}  // namespace Ovrin
