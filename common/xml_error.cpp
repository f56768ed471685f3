// The XML library's start-up and XMLError, its error handler, which joins the fragments of one
// diagnostic into one ERROR line through a process-wide accumulator.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstdarg>
#include <cstdint>

#include "common/format.h"
#include "common/lock.h"
#include "common/log.h"
#include "common/trace.h"
#include "common/xml_document.h"

namespace Ovrin {

namespace {

// libxml2 2.6.19, the oldest release whose behaviour this layer relies on.
constexpr int kRequiredLibxmlVersion = 20619;

struct CXMLErrorAccumulator : CLock {
    std::string text;
};

// Never destroyed, like the logger: a thread still parsing at exit may report an error.
CXMLErrorAccumulator& XMLErrorAccumulator() {
    static CXMLErrorAccumulator* instance = new CXMLErrorAccumulator;
    return *instance;
}

}  // namespace

void XMLStartup() {
    Traced([] {
        xmlInitParser();
        XMLInstallErrorHandler();
        xmlCheckVersion(kRequiredLibxmlVersion);
    }, "XMLStartup()");
}

void XMLInstallErrorHandler() { xmlSetGenericErrorFunc(nullptr, XMLError); }

void XMLError(void* context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Contained([&] {
        CXMLErrorAccumulator& accumulator = XMLErrorAccumulator();
        CScopedLock hold(accumulator, kInfinite);
        std::string fragment = VFormat(format, args);
        if (fragment.empty())
            return;
        accumulator.text += fragment;
        if (fragment.back() == '\n') {
            Logger().Error("XMLError(): %s", accumulator.text.c_str());
            accumulator.text.clear();
        }
    }, "XMLError(0x%08x, '%s')", LabelAddress(context), format);
    va_end(args);
}

}  // namespace Ovrin
