// CPythonInterpreter: the one Python interpreter in which rule scripts are compiled and run,
// the entry of calling threads into it, and the globals that each run sees.
#pragma once

#include <memory>
#include <string>

#include "server/message/header_dictionary.h"
#include "server/rules/python_object.h"

namespace Ovrin {

class CPythonInterpreter {
public:
    // Starts the runtime; returns with the interpreter lock free.
    CPythonInterpreter();
    // Finalises the runtime; every CPythonObject must be gone by then. Called outside Enter.
    ~CPythonInterpreter();
    CPythonInterpreter(const CPythonInterpreter&) = delete;
    CPythonInterpreter& operator=(const CPythonInterpreter&) = delete;

    // The calling thread takes the interpreter lock with a thread state of its own; Leave, given
    // what Enter returned, gives it back. Pairs may nest on one thread.
    int Enter();
    void Leave(int entered);

    // The following need Enter.
    // Compiles a whole script (file input) under the given file name; throws
    // "Python exception %s: %s" or "Py_CompileString() failed with no exception".
    CPythonObject Compile(const std::string& script, const std::string& fileName);
    CPythonObject NewDictionary();
    // Runs compiled code with fresh globals __builtins__, headers (from the source: texts as
    // str, counts as int) and shared_state; returns the global result, None when unassigned.
    // Throws "Python exception %s: %s".
    CPythonObject Execute(const CPythonObject& code, const CHeaderDictionary& source,
                          const CPythonObject& sharedState);

private:
    struct CPythonInterpreterImpl;
    std::unique_ptr<CPythonInterpreterImpl> impl;
};

}  // namespace Ovrin
