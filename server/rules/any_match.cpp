// CAnyMatch: the match that every message passes; it stores only its handler.
#include "server/rules/any_match.h"

#include "common/trace.h"

namespace Ovrin {

void CAnyMatch::Load(xmlNodePtr element) {
    Traced([&] { CMatch::Load(element); }, "CAnyMatch::Load(0x%08x)", LabelAddress(element));
}

void CAnyMatch::Save(xmlNodePtr element) const {
    Traced([&] { CMatch::Save(element); }, "CAnyMatch::Save(0x%08x)", LabelAddress(element));
}

void CAnyMatch::CopyTo(CAnyMatch& target) const {
    Traced([&] { CMatch::CopyTo(target); }, "CAnyMatch::CopyTo(0x%08x)", LabelAddress(&target));
}

CMatchPtr CAnyMatch::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CAnyMatch>();
        CopyTo(*clone);
        return CMatchPtr(clone);
    }, "CAnyMatch::Clone()");
}

}  // namespace Ovrin
