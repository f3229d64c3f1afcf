#include "sim/SimPhotodiode.h"

namespace qvt::sim {

bool SimPhotodiode::Read(int32_t address, bool laserOn, double& value) const
{
    const double light = laserOn ? 1.0 : 0.0;
    if (config_.XAddress > 0 && address == config_.XAddress)
        value = light * config_.SpotX;
    else if (config_.YAddress > 0 && address == config_.YAddress)
        value = light * config_.SpotY;
    else if (config_.SumAddress > 0 && address == config_.SumAddress)
        value = light * config_.SumDigits;
    else
        return false;
    return true;
}

} // namespace qvt::sim
