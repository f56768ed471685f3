// Per-thread random generators and GUIDs.
#include "common/random.h"

#include <sys/syscall.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cstdlib>
#include <ctime>

#include "common/trace.h"

namespace Ovrin {

namespace {

struct ThreadSeed {
    unsigned value = static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(::syscall(SYS_gettid));
};

thread_local ThreadSeed seed;

}  // namespace

void SeedThreadRandom(unsigned value) { seed.value = value; }

uint32_t Random(uint32_t limit) {
    uint32_t r1 = static_cast<uint32_t>(rand_r(&seed.value));
    uint32_t r2 = static_cast<uint32_t>(rand_r(&seed.value));
    uint32_t r3 = static_cast<uint32_t>(rand_r(&seed.value));
    uint32_t value = ((r1 & 0xFFF) << 12) | (r2 << 24) | (r3 & 0xFFF);
    return limit == 0 ? value : value % limit;
}

std::string CreateGUID() {
    return Traced([] {
        uuid_t id;
        uuid_generate(id);
        char text[37];
        uuid_unparse_lower(id, text);
        return std::string(text);
    }, "CreateGUID()");
}

}  // namespace Ovrin
