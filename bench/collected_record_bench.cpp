// What the record of collected messages costs a collection, per message: the appended line as a
// message is stored, the confirmation (fsync) once per session, and reading and pruning the
// record of a mailbox left on the server at the start of each session. Run by hand:
//   build/normal/bench/collected_record_bench [directory on the disk of the mail store]
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "store/collected_record.h"

using namespace Ovrin;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 10000;
constexpr int kPerSession = 100;

double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::string Uid(int i) { return "00000" + std::to_string(1000000 + i) + "4f2a9c81"; }

}  // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const std::string path = directory + "/.collected-bench";
    std::filesystem::remove(path);
    Clock::duration adding{}, confirming{}, opening{};
    std::set<std::string> listed;
    for (int session = 0; session < kMessages / kPerSession; ++session) {
        auto start = Clock::now();
        CCollectedRecord record(path);
        record.Prune(listed);
        opening += Clock::now() - start;
        start = Clock::now();
        for (int i = session * kPerSession; i < (session + 1) * kPerSession; ++i) {
            record.Add(Uid(i), std::time(nullptr));
            listed.insert(Uid(i));
        }
        adding += Clock::now() - start;
        start = Clock::now();
        record.Confirm();
        confirming += Clock::now() - start;
    }
    std::filesystem::remove(path);
    std::printf("%d messages in sessions of %d, all left on the server (the record grows to %d ids)\n", kMessages,
                kPerSession, kMessages);
    std::printf("%-44s%10.2f us\n", "append per stored message", Microseconds(adding) / kMessages);
    std::printf("%-44s%10.2f us\n", "confirmation (fsync) per session", Microseconds(confirming) * kPerSession / kMessages);
    std::printf("%-44s%10.2f us\n", "open, read and prune per session", Microseconds(opening) * kPerSession / kMessages);
    std::printf("%-44s%10.2f us\n", "all, per message",
                Microseconds(adding + confirming + opening) / kMessages);
    return 0;
}
