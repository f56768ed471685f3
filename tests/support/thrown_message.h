// The message of the CMessageException that a body throws, for checking error texts exactly.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/exception.h"

namespace OvrinTest {

// Fails the test when the body throws no CMessageException.
template <class Body>
std::string ThrownMessage(Body body) {
    try {
        body();
    } catch (const Ovrin::CMessageException& e) {
        return e.what();
    }
    ADD_FAILURE() << "no CMessageException";
    return "";
}

}  // namespace OvrinTest
