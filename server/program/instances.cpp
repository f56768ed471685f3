// The training map's instance.
#include "server/program/instances.h"

namespace Ovrin {

CNameValueMap& TrainingMap() {
    static CNameValueMap instance;
    return instance;
}

}  // namespace Ovrin
