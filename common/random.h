// Per-thread random numbers and GUIDs.
#pragma once

#include <cstdint>
#include <string>

namespace Ovrin {

// Seeds the calling thread's generator; every CThread does so on entry. A thread that never
// seeds gets a seed from the time and its identifier on first use.
void SeedThreadRandom(unsigned seed);

// A value built from three draws of the thread's generator; modulo limit unless limit is 0.
uint32_t Random(uint32_t limit);

// A new UUID in lower-case 8-4-4-4-12 form.
std::string CreateGUID();

}  // namespace Ovrin
