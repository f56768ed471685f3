// CPython: the host lock, the compile cache by script hash, the shared_state dictionary and
// the process-wide instance.
#include "server/rules/python.h"

#include <cstdint>
#include <vector>

#include "common/bounded_cache.h"
#include "common/digest.h"
#include "common/format.h"
#include "common/text.h"
#include "common/trace.h"
#include "server/rules/python_interpreter.h"

namespace Ovrin {

struct CPython::CPythonImpl {
    CPythonImpl();
    ~CPythonImpl();

    // Declared first so that it is finalised last, after every object below is gone.
    CPythonInterpreter interpreter;
    CLock hostLock;
    // Lives as long as the process; the same dictionary for every run and every user.
    CPythonObject sharedState;
    // Code objects by ShortHash of the trimmed script. Bounded: scripts with macros make a new
    // text for nearly every message.
    CBoundedCache<std::string, CPythonObject> compiled{kPythonCacheLimit};
    // What Enter returned for each Acquire still open, innermost last; only the holder of
    // the host lock touches it.
    std::vector<int> acquired;

    // Holds the interpreter lock for a scope, on the calling thread.
    class CEntered {
    public:
        explicit CEntered(CPythonInterpreter& interpreter)
            : interpreter(interpreter), entered(interpreter.Enter()) {}
        ~CEntered() { interpreter.Leave(entered); }
        CEntered(const CEntered&) = delete;
        CEntered& operator=(const CEntered&) = delete;

    private:
        CPythonInterpreter& interpreter;
        int entered;
    };
};

CPython::CPythonImpl::CPythonImpl() {
    CEntered entered(interpreter);
    sharedState = interpreter.NewDictionary();
}

CPython::CPythonImpl::~CPythonImpl() {
    // A run still in progress on another thread finishes first. Reference counts need the
    // interpreter lock, and nothing may be released after the interpreter is finalised.
    CScopedLock host(hostLock, kInfinite);
    CEntered entered(interpreter);
    compiled.Clear();
    sharedState = CPythonObject();
}

CPython::CPython() {
    Traced([&] { impl = std::make_unique<CPythonImpl>(); }, "CPython::CPython()");
}

CPython::~CPython() {
    Contained([&] { impl.reset(); }, "CPython::~CPython()");
}

bool CPython::Acquire(uint32_t milliseconds) {
    return Traced([&] {
        impl->hostLock.Lock(kInfinite);
        impl->acquired.push_back(impl->interpreter.Enter());
        return true;
    }, "CPython::Acquire(%d)", static_cast<int>(milliseconds));
}

void CPython::Release() {
    Traced([&] {
        impl->interpreter.Leave(impl->acquired.back());
        impl->acquired.pop_back();
        impl->hostLock.Unlock();
    }, "CPython::Release()");
}

std::string CPython::Execute(const std::string& script, const CHeaderDictionary& source, bool compileOnly) {
    return Traced([&] {
        const std::string text = Trim(script);
        const std::string key = ShortHash(text);
        CScopedLock host(*this, kInfinite);
        CPythonObject* code = impl->compiled.Find(key);
        if (!code)
            code = &impl->compiled.Insert(key, impl->interpreter.Compile(text, Format("SCRIPT_%s", key.c_str())));
        if (compileOnly)
            return std::string();
        return impl->interpreter.Execute(*code, source, impl->sharedState).ToString();
    }, "CPython::Execute('%s', 0x%08x, %s)", script.c_str(),
       LabelAddress(&source), compileOnly ? "true" : "false");
}

size_t CPython::CompiledCount() {
    CScopedLock host(*this, kInfinite);
    return impl->compiled.Size();
}

CPython& Python() {
    static CPython host;
    return host;
}

}  // namespace Ovrin
