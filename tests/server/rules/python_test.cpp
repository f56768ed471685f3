// The Python host: results, errors, compile-only runs, the cache, headers, shared_state,
// undecodable bytes, serialisation across threads, the standard streams and shutdown at exit.
#include "server/rules/python.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/digest.h"
#include "common/exception.h"
#include "server/rules/python_validation.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::TempDir;

namespace {

std::string RunScript(const std::string& script, const CHeaderDictionary& headers = {}) {
    return Python().Execute(script, headers, false);
}

// The error text of a failing Execute, or a note that it did not fail.
std::string ErrorOf(const std::string& script, bool compileOnly, const CHeaderDictionary& headers = {}) {
    LogCapture log;  // the host's trace logs the failure; keep it out of the test output
    try {
        Python().Execute(script, headers, compileOnly);
    } catch (const CMessageException& e) {
        return e.what();
    }
    return "(no exception)";
}

// The dictionary the header of a message with one Subject line gives.
CHeaderDictionary OneSubject(const std::string& subject) {
    CHeaderDictionary headers;
    headers.strings["subject"] = subject;
    headers.strings["subject:0"] = subject;
    headers.integers["subject:count"] = 1;
    return headers;
}

// A Python string literal of a path.
std::string Quoted(const std::string& path) { return "'" + path + "'"; }

}  // namespace

TEST(PythonHostResult, IsTheTextOfTheResultGlobal) {
    EXPECT_EQ(RunScript("result = \"match\""), "match");
    EXPECT_EQ(RunScript("result = 6 * 7"), "42");
    EXPECT_EQ(RunScript("x = 1"), "None");
    EXPECT_EQ(RunScript("result = None"), "None");
    EXPECT_EQ(RunScript(""), "None");
}

TEST(PythonHostErrors, SyntaxErrorNamesTypeAndMessageAlsoWhenCompilingOnly) {
    const std::string script = "result = (";
    const std::string expected = "Python exception <class 'SyntaxError'>: '(' was never closed (SCRIPT_" +
                                 ShortHash(script) + ", line 1)";
    EXPECT_EQ(ErrorOf(script, true), expected);
    EXPECT_EQ(ErrorOf(script, false), expected);
    EXPECT_EQ(ErrorOf("  \n" + script + "\n\n", true), expected);  // trimmed first
}

TEST(PythonHostErrors, RunTimeErrorsBecomeMessagesAndTheTraceLogsThem) {
    EXPECT_EQ(ErrorOf("result = 1 / 0", false), "Python exception <class 'ZeroDivisionError'>: division by zero");
    EXPECT_EQ(ErrorOf("result = headers['missing']", false), "Python exception <class 'KeyError'>: 'missing'");
    EXPECT_EQ(ErrorOf("raise ValueError", false), "Python exception <class 'ValueError'>: ");
    // An exit request from a script fails the script, not the server.
    EXPECT_EQ(ErrorOf("import sys\nsys.exit(3)", false), "Python exception <class 'SystemExit'>: 3");

    LogCapture log;
    EXPECT_THROW(Python().Execute("result = undefined_name", {}, false), CMessageException);
    const auto lines = log.LinesWith("CPython::Execute('result = undefined_name', 0x");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(", false): Python exception <class 'NameError'>: name 'undefined_name' is not defined"),
              std::string::npos) << lines[0];
    EXPECT_EQ(log.LinesWith("CPythonInterpreter::Execute(): Python exception <class 'NameError'>").size(), 1u);
}

TEST(PythonHostErrors, AScriptWithANulByteIsRefusedNotCutShort) {
    const std::string script("result = 'a'\0result = 'b'", 25);
    EXPECT_EQ(ErrorOf(script, true), "Python exception <class 'ValueError'>: source code string cannot contain null bytes");
}

TEST(PythonHostCompileOnly, RunsNothing) {
    TempDir dir;
    const std::string marker = dir / "ran";
    const std::string script = "open(" + Quoted(marker) + ", 'w').write('x')\nresult = 'ran'";
    EXPECT_EQ(Python().Execute(script, {}, true), "");
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(ValidatePythonScript(script), "ok");
    EXPECT_FALSE(std::filesystem::exists(marker));
    // The same script, run, does leave the mark: the check above can fail.
    EXPECT_EQ(RunScript(script), "ran");
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(PythonHostCache, ScriptsDifferingOnlyInSurroundingBlankLinesShareOneCodeObject) {
    const std::string body = "import sys\nf = sys._getframe().f_code\nresult = '%s %d' % (f.co_filename, id(f))";
    const std::string plain = RunScript(body);
    EXPECT_EQ(plain.rfind("SCRIPT_" + ShortHash(body) + " ", 0), 0u) << plain;
    EXPECT_EQ(RunScript("\n\n" + body + "\n  \n"), plain);
    EXPECT_EQ(RunScript(" \r\n" + body), plain);
    const std::string changed = RunScript(body + "\nx = 1");
    EXPECT_NE(changed, plain);
    EXPECT_EQ(RunScript(body + "\nx = 1"), changed);
}

// Scripts with macros make a new text for nearly every message: the cache keeps its bound, and
// a script dropped from it runs again, compiled afresh.
TEST(PythonHostCache, HoldsNoMoreThanItsBoundAndADroppedScriptStillRuns) {
    const std::string first = "result = 'first'";
    EXPECT_EQ(RunScript(first), "first");
    for (size_t i = 0; i < 2 * kPythonCacheLimit; ++i) {
        ASSERT_EQ(RunScript("result = '" + std::to_string(i) + "'"), std::to_string(i));
        ASSERT_LE(Python().CompiledCount(), kPythonCacheLimit);
    }
    EXPECT_EQ(Python().CompiledCount(), kPythonCacheLimit);
    EXPECT_EQ(RunScript(first), "first");
    EXPECT_EQ(Python().CompiledCount(), kPythonCacheLimit);
}

TEST(PythonHostHeaders, HoldTextsAndIntegerCounts) {
    const auto headers = OneSubject("Hello there");
    EXPECT_EQ(RunScript("result = '|'.join(sorted(headers.keys()))", headers), "subject|subject:0|subject:count");
    EXPECT_EQ(RunScript("result = '%s/%s' % (headers['subject'], headers['subject:0'])", headers),
              "Hello there/Hello there");
    EXPECT_EQ(RunScript("result = repr(headers['subject:count'])", headers), "1");
    EXPECT_EQ(RunScript("result = type(headers['subject:count']) is int and type(headers['subject']) is str", headers),
              "True");
    // Each run gets a fresh dictionary: what a script changes is gone in the next run.
    EXPECT_EQ(RunScript("headers['subject'] = 'changed'\nresult = headers['subject']", headers), "changed");
    EXPECT_EQ(RunScript("result = headers['subject']", headers), "Hello there");
    EXPECT_EQ(RunScript("result = len(headers)"), "0");
}

TEST(PythonHostHeaders, BytesThatAreNotUtf8ReachScriptsAndComeBackUnchanged) {
    const std::string latin1 = "caf\xe9 \xff\xfe end";
    CHeaderDictionary headers = OneSubject(latin1);
    headers.strings["x-\xe9"] = "v";
    EXPECT_EQ(RunScript("result = headers['subject']", headers), latin1);
    EXPECT_EQ(RunScript("result = len(headers['subject'])", headers), "11");
    EXPECT_EQ(RunScript("result = headers['subject'].startswith('caf') and 'match' or 'no'", headers), "match");
    EXPECT_EQ(RunScript("result = [k for k in headers if k.startswith('x-')][0]", headers), "x-\xe9");
    EXPECT_EQ(RunScript("result = '\\u00e9'"), "\xc3\xa9");  // text made by scripts comes back as UTF-8
    // A lone surrogate that no message byte stands for cannot be given back as bytes.
    EXPECT_EQ(ErrorOf("result = '\\ud800'", false).rfind("Python exception <class 'UnicodeEncodeError'>: ", 0), 0u);
}

TEST(PythonHostSharedState, SurvivesBetweenRunsOfDifferentScriptsAndUsers) {
    RunScript("for key in ('seen', 'runs', 'times_k'):\n    shared_state.pop(key, None)");
    EXPECT_EQ(RunScript("shared_state['seen'] = headers['subject']", OneSubject("first user")), "None");
    EXPECT_EQ(RunScript("result = shared_state.get('seen')", OneSubject("second user")), "first user");
    EXPECT_EQ(RunScript("shared_state['runs'] = shared_state.get('runs', 0) + 1\nresult = shared_state['runs']"), "1");
    EXPECT_EQ(RunScript("shared_state['runs'] = shared_state.get('runs', 0) + 1\nresult = shared_state['runs']"), "2");
    // A function kept there still sees the globals of the run that defined it.
    RunScript("k = 5\ndef times_k(x):\n    return x * k\nshared_state['times_k'] = times_k");
    EXPECT_EQ(RunScript("result = shared_state['times_k'](3)"), "15");
}

TEST(PythonHostThreads, ConcurrentCallersEachGetTheirOwnResult) {
    const std::string script = "shared_state['counted'] = shared_state.get('counted', 0) + 1\n"
                               "result = headers['subject'] + '/' + str(headers['subject:count'] * 2)";
    RunScript("shared_state.pop('counted', None)");
    constexpr int kThreads = 8;
    constexpr int kRuns = 200;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRuns; ++i) {
                const std::string subject = "thread " + std::to_string(t) + " run " + std::to_string(i);
                auto headers = OneSubject(subject);
                headers.integers["subject:count"] = t;
                if (Python().Execute(script, headers, false) != subject + "/" + std::to_string(2 * t))
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(RunScript("result = shared_state['counted']"), std::to_string(kThreads * kRuns));
}

TEST(PythonHostThreads, RunsNeverOverlapEvenWhenAScriptGivesUpTheInterpreterLock) {
    // time.sleep releases the GIL; only the host lock keeps another run out meanwhile.
    const std::string script = "import time\n"
                               "shared_state['inside'] = shared_state.get('inside', 0) + 1\n"
                               "result = shared_state['inside']\n"
                               "time.sleep(0.002)\n"
                               "shared_state['inside'] -= 1";
    std::atomic<int> overlapping{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                if (Python().Execute(script, {}, false) != "1")
                    ++overlapping;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(overlapping.load(), 0);
}

TEST(PythonHostThreads, TheHostIsALockThatHoldsOffRunsOfOtherThreads) {
    std::atomic<bool> done{false};
    std::thread other;
    {
        CScopedLock hold(Python(), kInfinite);
        EXPECT_TRUE(hold.IsLocked());
        other = std::thread([&] {
            RunScript("result = 1");
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done.load());
        // Recursive on the holding thread, as the lock of a rule set dispatch may need.
        EXPECT_EQ(RunScript("result = 'inner'"), "inner");
    }
    other.join();
    EXPECT_TRUE(done.load());
}

TEST(PythonHostStreams, ScriptsNeitherWriteToStandardOutputNorReadStandardInput) {
    LogCapture log;
    testing::internal::CaptureStdout();
    const std::string result =
        RunScript("import sys\nprint('printed by a script')\nsys.stdout.flush()\nresult = repr(sys.stdin.read())");
    const std::string standardOutput = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, "''");
    EXPECT_EQ(standardOutput, "");
    EXPECT_EQ(log.LinesWith("printed by a script").size(), 1u);
}

TEST(PythonHostStreams, WhatAScriptPrintsBecomesWholeInfoLogLines) {
    LogCapture log;
    RunScript("import sys\nprint('first\\nsecond', end='')\nprint(' half')\nsys.stderr.write('to stderr\\n')\n"
              "sys.stdout.write('unfinished')");
    for (const char* text : {"first", "second half", "to stderr", "unfinished"}) {
        auto lines = log.LinesWith(text);
        ASSERT_EQ(lines.size(), 1u) << text;
        EXPECT_TRUE(boost::regex_match(lines[0], boost::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                                                                "\\[[0-9a-f]{8}\\] INFO Python script output: (.*)")))
            << lines[0];
        EXPECT_EQ(lines[0].substr(lines[0].find("output: ") + 8), text);
    }
}

TEST(PythonHostShutdown, FinalisesAtExitAfterReleasingEveryObject) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    // The child runs this test again from the start: it must write where the parent looks.
    setenv("OVRIN_TEST_FINALISED_MARKER", (dir / "finalised").c_str(), 0);
    const std::string marker = std::getenv("OVRIN_TEST_FINALISED_MARKER");
    EXPECT_EXIT(
        {
            // The host is born on a thread that is gone by the time the process exits.
            std::thread([&] {
                RunScript("import atexit\n"
                    "shared_state['kept'] = [object() for _ in range(100)]\n"
                    "def at_exit():\n"
                    "    with open(" + Quoted(marker) + ", 'w') as f:\n"
                    "        f.write(str(len(shared_state['kept'])))\n"
                    "atexit.register(at_exit)");
            }).join();
            Python().Execute("result = 'only compiled'", {}, true);
            std::exit(0);
        },
        testing::ExitedWithCode(0) , "");
    EXPECT_EQ(OvrinTest::ReadWholeFile(marker), "100");
    unsetenv("OVRIN_TEST_FINALISED_MARKER");
}

TEST(PythonValidation, RepliesOkOrErrWithTheErrorText) {
    EXPECT_EQ(ValidatePythonScript("result = 'match'"), "ok");
    // Line breaks arrive as macros; without turning them into LF this would not compile.
    EXPECT_EQ(ValidatePythonScript("if headers:{{x-ovrin-crlf}}    result = 'a'{{x-ovrin-crlf}}else:{{x-ovrin-crlf}}"
                                   "    result = 'b'"),
              "ok");
    LogCapture log;
    EXPECT_EQ(ValidatePythonScript("if True:{{x-ovrin-crlf}}result = 1"),
              "err Python exception <class 'IndentationError'>: expected an indented block after 'if' statement "
              "on line 1 (SCRIPT_" + ShortHash("if True:\nresult = 1") + ", line 2)");
    EXPECT_EQ(ValidatePythonScript("result = )").rfind("err Python exception <class 'SyntaxError'>: ", 0), 0u);
}
