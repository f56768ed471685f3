// CPythonInterpreter: start and finalisation of the embedded CPython, thread entry through the
// GIL state API, compilation, and the globals of each script run.
//
// Scripts are compiled and run in the main interpreter, the only one there is: no object can
// cross into another interpreter, and the GIL state API (which supports the main interpreter
// only) gives every calling thread a thread state of its own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "server/rules/python_interpreter.h"

#include "common/exception.h"
#include "common/log.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

void SetItem(const CPythonObject& dictionary, const CPythonObject& key, const CPythonObject& value) {
    if (PyDict_SetItem(dictionary.Get(), key.Get(), value.Get()) != 0)
        ThrowPythonException("PyDict_SetItem() failed with no exception");
}

void SetItem(const CPythonObject& dictionary, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dictionary.Get(), key, value) != 0)
        ThrowPythonException("PyDict_SetItemString() failed with no exception");
}

// One line a script printed, as a log line of its own.
PyObject* LogScriptLine(PyObject*, PyObject* line) {
    PyObject* bytes = PyUnicode_AsEncodedString(line, "utf-8", "surrogateescape");
    if (bytes == nullptr)
        return nullptr;
    Logger().Info("Python script output: %s", PyBytes_AS_STRING(bytes));
    Py_DECREF(bytes);
    Py_RETURN_NONE;
}

PyMethodDef kLogScriptLine = {"log_script_line", LogScriptLine, METH_O, nullptr};

// Collects what is written into whole lines; flush() gives out the rest of a line.
constexpr const char* kLineWriter = R"(
class LineWriter:
    def __init__(self, log):
        self._log = log
        self._pending = ''
    def write(self, text):
        lines = (self._pending + str(text)).split('\n')
        self._pending = lines.pop()
        for line in lines:
            self._log(line.rstrip('\r'))
        return len(text)
    def flush(self):
        if self._pending:
            pending, self._pending = self._pending, ''
            self._log(pending)
    def isatty(self):
        return False
)";

// The process's standard output carries only control replies and its standard input only
// control commands; what scripts print (on either stream) becomes log lines, never raw bytes
// among them. Scripts read an empty input.
void DivertStandardStreams() {
    CPythonObject globals(PyDict_New(), true);
    SetItem(globals, "__builtins__", PyEval_GetBuiltins());
    CPythonObject defined(PyRun_String(kLineWriter, Py_file_input, globals.Get(), globals.Get()), true);
    PyObject* writerClass = PyDict_GetItemString(globals.Get(), "LineWriter");  // borrowed
    CPythonObject log(PyCFunction_New(&kLogScriptLine, nullptr), true);
    if (writerClass == nullptr)
        ThrowPythonException("LineWriter could not be defined");
    CPythonObject writer(PyObject_CallOneArg(writerClass, log.Get()), true);
    if (PySys_SetObject("stdout", writer.Get()) != 0 || PySys_SetObject("stderr", writer.Get()) != 0)
        ThrowPythonException("sys.stdout could not be diverted");
    CPythonObject io(PyImport_ImportModule("io"), true);
    CPythonObject emptyInput(PyObject_CallMethod(io.Get(), "StringIO", nullptr), true);
    if (PySys_SetObject("stdin", emptyInput.Get()) != 0)
        ThrowPythonException("sys.stdin could not be replaced");
}

// A line a script left unfinished is logged when its run ends.
void FlushScriptOutput() {
    PyObject* output = PySys_GetObject("stdout");  // borrowed
    if (output == nullptr)
        return;
    PyObject* flushed = PyObject_CallMethod(output, "flush", nullptr);
    if (flushed == nullptr)
        PyErr_Clear();
    Py_XDECREF(flushed);
}

}  // namespace

struct CPythonInterpreter::CPythonInterpreterImpl {
    // The thread state of start-up, needed again to finalise.
    PyThreadState* mainThreadState = nullptr;
};

CPythonInterpreter::CPythonInterpreter() : impl(std::make_unique<CPythonInterpreterImpl>()) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The server's signals stay the server's; it has no command line for Python.
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status))
        throw CMessageException("Py_InitializeFromConfig() failed: %s",
                                status.err_msg != nullptr ? status.err_msg : "no message");
    try {
        DivertStandardStreams();
    } catch (...) {
        Py_FinalizeEx();
        throw;
    }
    impl->mainThreadState = PyEval_SaveThread();
}

CPythonInterpreter::~CPythonInterpreter() {
    PyEval_RestoreThread(impl->mainThreadState);
    Py_FinalizeEx();
}

int CPythonInterpreter::Enter() { return static_cast<int>(PyGILState_Ensure()); }

void CPythonInterpreter::Leave(int entered) { PyGILState_Release(static_cast<PyGILState_STATE>(entered)); }

CPythonObject CPythonInterpreter::Compile(const std::string& script, const std::string& fileName) {
    // The compiler reads a C string; an embedded NUL would silently cut the script short.
    if (script.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "source code string cannot contain null bytes");
        ThrowPythonException("Py_CompileString() failed with no exception");
    }
    PyObject* code = Py_CompileString(script.c_str(), fileName.c_str(), Py_file_input);
    if (code == nullptr)
        ThrowPythonException("Py_CompileString() failed with no exception");
    return CPythonObject(code, true);
}

CPythonObject CPythonInterpreter::NewDictionary() { return CPythonObject(PyDict_New(), true); }

CPythonObject CPythonInterpreter::Execute(const CPythonObject& code, const CHeaderDictionary& source,
                                          const CPythonObject& sharedState) {
    return Traced([&] {
        CPythonObject headers = NewDictionary();
        for (const auto& [key, value] : source.strings)
            SetItem(headers, CPythonObject::FromString(key), CPythonObject::FromString(value));
        for (const auto& [key, count] : source.integers)
            SetItem(headers, CPythonObject::FromString(key), CPythonObject::FromLong(count));

        CPythonObject globals = NewDictionary();
        SetItem(globals, "__builtins__", PyEval_GetBuiltins());
        SetItem(globals, "headers", headers.Get());
        SetItem(globals, "shared_state", sharedState.Get());

        PyObject* evaluated = PyEval_EvalCode(code.Get(), globals.Get(), globals.Get());
        if (evaluated == nullptr) {
            // Keeps the script's error across the flush.
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            FlushScriptOutput();
            PyErr_Restore(type, value, traceback);
        } else {
            FlushScriptOutput();
        }
        CPythonObject finished(evaluated, true);
        PyObject* result = PyDict_GetItemString(globals.Get(), "result");  // borrowed
        return result != nullptr ? CPythonObject(Py_NewRef(result), true) : CPythonObject::None();
    }, "CPythonInterpreter::Execute()");
}

}  // namespace Ovrin
