// Cached script runs per second through the Python host on one thread, beside plain python3
// running the same script body, so that the host's per-run cost (globals and headers built
// from the header dictionary, locks, result text) shows against the script's own.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/text.h"
#include "server/message/header_dictionary.h"
#include "server/rules/python.h"

using namespace Ovrin;

namespace {

constexpr int kRuns = 50000;

const char* const kScript =
    "subject = headers.get('subject', '').lower()\n"
    "sender = headers.get('from', '')\n"
    "shared_state['seen'] = shared_state.get('seen', 0) + 1\n"
    "if 'invoice' in subject or sender.endswith('@example.com>'):\n"
    "    result = 'match'\n"
    "else:\n"
    "    result = 'no'\n";

// What the header of a typical message gives: a score of fields, five Received lines.
CHeaderDictionary TypicalHeader() {
    CHeaderDictionary headers;
    auto add = [&](const std::string& name, int count, const std::string& value) {
        headers.integers[name + ":count"] = count;
        for (int i = 0; i < count; ++i)
            headers.strings[name + ":" + std::to_string(i)] = value + " " + std::to_string(i);
        headers.strings[name] = value + " 0";
    };
    add("received", 5, "from mx.example.org (mx.example.org [192.0.2.1]) by pop.example.net with ESMTP");
    add("from", 1, "Someone <someone@example.org>");
    add("to", 1, "user@example.net");
    add("subject", 1, "Your monthly statement is ready");
    add("date", 1, "Mon, 7 Dec 2026 21:36:01 +0000");
    add("message-id", 1, "<20261207213601.12345@example.org>");
    add("mime-version", 1, "1.0");
    add("content-type", 1, "text/plain; charset=utf-8");
    add("return-path", 1, "<someone@example.org>");
    add("x-mailer", 1, "Example Mailer 1.0");
    for (const char* name : {"x-ovrin-user", "x-ovrin-account", "x-ovrin-message-size", "x-ovrin-hash",
                             "mail-directory", "product-name", "version", "worker-threads-per-pool"})
        add(name, 1, "value");
    return headers;
}

template <class Body>
double RunsPerSecond(Body&& body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRuns; ++i)
        body();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return kRuns / elapsed.count();
}

void PrintLine(const char* what, double runsPerSecond) {
    std::printf("  %-58s %10.0f runs/s %8.2f us/run\n", what, runsPerSecond, 1e6 / runsPerSecond);
}

// The peer: python3 itself, given the same body and the same header items as a literal.
std::string PeerProgram(const CHeaderDictionary& headers) {
    std::string items;
    for (const auto& [key, value] : headers.strings)
        items += "(\"" + EscapePython(key) + "\", \"" + EscapePython(value) + "\"),";
    for (const auto& [key, count] : headers.integers)
        items += "(\"" + EscapePython(key) + "\", " + std::to_string(count) + "),";
    return "import time, builtins\n"
           "items = [" + items + "]\n"
           "code = compile(\"" + Replace(EscapePython(kScript), "\n", "\\n") + "\", 'SCRIPT', 'exec')\n"
           "runs = " + std::to_string(kRuns) + "\n"
           "shared = {}\n"
           "start = time.perf_counter()\n"
           "for _ in range(runs):\n"
           "    g = {'__builtins__': builtins.__dict__, 'headers': dict(items), 'shared_state': shared}\n"
           "    exec(code, g, g)\n"
           "    str(g.get('result'))\n"
           "print('%.0f' % (runs / (time.perf_counter() - start)))\n"
           "g = {'__builtins__': builtins.__dict__, 'headers': dict(items), 'shared_state': shared}\n"
           "start = time.perf_counter()\n"
           "for _ in range(runs):\n"
           "    exec(code, g, g)\n"
           "print('%.0f' % (runs / (time.perf_counter() - start)))\n";
}

}  // namespace

int main() {
    const CHeaderDictionary headers = TypicalHeader();
    const CHeaderDictionary empty;
    const std::string script = kScript;
    const size_t keys = headers.strings.size() + headers.integers.size();

    Python().Execute(script, headers, false);  // compiles and fills the cache
    const double host = RunsPerSecond([&] { Python().Execute(script, headers, false); });
    const double hostEmpty = RunsPerSecond([&] { Python().Execute(script, empty, false); });

    // The environment carries the program, so nothing needs quoting for a shell.
    setenv("OVRIN_BENCH_PROGRAM", PeerProgram(headers).c_str(), 1);
    FILE* peer = popen("python3 -c 'import os; exec(os.environ[\"OVRIN_BENCH_PROGRAM\"])'", "r");
    double peerFresh = 0, peerReused = 0;
    const bool peerRan = peer != nullptr && std::fscanf(peer, "%lf %lf", &peerFresh, &peerReused) == 2;
    if (peer != nullptr)
        pclose(peer);

    std::printf("Python script runs on one thread, cached code, %d runs each, headers of %zu keys\n", kRuns, keys);
    PrintLine("ovrin CPython::Execute, headers built per run", host);
    PrintLine("ovrin CPython::Execute, empty headers", hostEmpty);
    if (!peerRan) {
        std::printf("  python3 did not run\n");
        return 1;
    }
    PrintLine("python3 exec, globals and headers dict built per run", peerFresh);
    PrintLine("python3 exec, one globals dict reused (script body alone)", peerReused);
    std::printf("  host cost beyond the script body: %.2f us/run, of which headers %.2f us/run\n",
                1e6 / host - 1e6 / peerReused, 1e6 / host - 1e6 / hostEmpty);
    return 0;
}
