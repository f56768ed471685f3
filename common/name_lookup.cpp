// CNameLookup: getaddrinfo has no time limit of its own but the resolver's, so it runs apart.
#include "common/name_lookup.h"

#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "common/event.h"
#include "common/exception.h"

namespace Ovrin {

struct CNameLookup::CState {
    CEvent answered{true};
    std::mutex guard;
    std::optional<CInternetAddress> address;
    std::exception_ptr failure;
};

CNameLookup::CNameLookup(const std::string& name) : state(std::make_shared<CState>()) {
    // The thread shares the state: whichever of the two lets go last frees it.
    std::thread([name, state = state] {
        std::optional<CInternetAddress> address;
        std::exception_ptr failure;
        try {
            address.emplace(name);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> hold(state->guard);
            state->address = std::move(address);
            state->failure = failure;
        }
        state->answered.Set();
    }).detach();
}

bool CNameLookup::Done() const { return state->answered.Wait(0); }

CInternetAddress CNameLookup::Take() const {
    std::lock_guard<std::mutex> hold(state->guard);
    if (state->failure)
        std::rethrow_exception(state->failure);
    if (!state->address)
        throw CMessageException("CNameLookup::Take(): the resolver has not answered yet");
    return *state->address;
}

CSocketWait CNameLookup::GetWait() const {
    CSocketWait wait;
    wait.descriptor = state->answered.GetDescriptor();
    wait.directions = CSocketWait::kRead;
    return wait;
}

}  // namespace Ovrin
