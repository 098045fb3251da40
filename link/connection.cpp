#include "link/connection.h"

#include "link/release_line.h"
#include "link/shared_values.h"

#include <algorithm>
#include <limits>

namespace tavrel {

bool checkConnection()
{
    SharedValues &v = shared();
    static const char kZero[] = "0";
    v.LastStatus = adapter().FT_ListDevices(&v.DeviceCount, const_cast<char *>(kZero), FT_LIST_NUMBER_ONLY);
    traceLink(QStringLiteral("List: %1 nb %2").arg(v.LastStatus).arg(v.DeviceCount));
    if (v.DeviceCount == 0 || v.LastStatus != FT_OK) {
        v.DeviceOpen = 0;
        return false;
    }
    if (v.DeviceOpen != -1)
        OpenDevice();
    return true;
}

std::int32_t movedExposureClock(std::int32_t value, std::int64_t delta)
{
    const std::int64_t sum = std::int64_t(value) + delta;
    return std::int32_t(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

} // namespace tavrel
