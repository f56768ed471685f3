#include "service/log_pump_thread.h"

#include "common/trace.h"

namespace Ovrin {

void CLogPumpThread::Execute() {
    std::shared_ptr<CSatelliteProcess> ended;  // the process whose stream has ended
    for (;;) {
        std::shared_ptr<CSatelliteProcess> current = satellite.Current();
        if (!current || current == ended) {
            if (IsTerminating())
                return;
            Sleep(100);
            continue;
        }
        bool ok = Contained([&] {
            uint32_t length = 0;
            std::shared_ptr<uint8_t[]> bytes = current->ReadErr(length);
            if (length == 0) {
                ended = current;
                return;
            }
            log.Write(bytes.get(), length);
        }, "CLogPumpThread::Execute()");
        if (!ok) {
            if (IsTerminating())
                return;
            Sleep(100);
        }
    }
}

}  // namespace Ovrin
