#include "platform/serial_os.h"

namespace ptz::platform {

namespace {
SerialOs* installed = nullptr;
}  // namespace

SerialOs& Serial() { return installed ? *installed : PlatformSerialOs(); }
void InstallSerialOs(SerialOs* os) { installed = os; }

}  // namespace ptz::platform
