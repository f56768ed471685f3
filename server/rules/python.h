// CPython: the process-wide Python host of rule scripts. Owns the interpreter, the cache of
// compiled scripts and the shared_state dictionary, and serialises every use of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/lock.h"
#include "server/message/header_dictionary.h"

namespace Ovrin {

// Most compiled scripts held at once; the least recently run is dropped beyond it.
inline constexpr size_t kPythonCacheLimit = 512;

class CPython : public CLockable {
public:
    CPython();
    // Releases every Python object, then finalises the interpreter.
    ~CPython() override;
    CPython(const CPython&) = delete;
    CPython& operator=(const CPython&) = delete;

    // Takes the host lock (without a time limit; the argument is not used), then the
    // interpreter lock. Always true.
    bool Acquire(uint32_t milliseconds);
    void Release();
    // So that CScopedLock holds the host like any lock.
    bool Lock(uint32_t milliseconds) override { return Acquire(milliseconds); }
    void Unlock() override { Release(); }

    // Compiles the trimmed script (once per distinct text, cached by its ShortHash) and,
    // unless compileOnly, runs it with `headers` built from source and the process-wide
    // `shared_state`. Returns str(result), "None" when the script leaves result unassigned,
    // and "" for compileOnly. Throws CMessageException "Python exception %s: %s" or
    // "Py_CompileString() failed with no exception". Safe from any thread; runs one at a time.
    std::string Execute(const std::string& script, const CHeaderDictionary& source, bool compileOnly);
    // How many compiled scripts the cache holds now.
    size_t CompiledCount();

private:
    struct CPythonImpl;
    std::unique_ptr<CPythonImpl> impl;
};

// The process-wide host: created on first use, finalised at process exit.
CPython& Python();

}  // namespace Ovrin
