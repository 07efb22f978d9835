#include "common/Variables.h"

#include "common/Checked.h"

namespace qtx {

int16_t CrosspointMapBound(const Variables& v) {
    if (!v.MapReceived[0])
        return 0;
    return ToInt16(static_cast<int64_t>(v.CrosspointMap.size()));
}

}  // namespace qtx
