#include "cadastre/plan_source.hpp"

#include <cmath>

namespace plots::cadastre {

degrees_minutes bearing_of(double degrees) {
    auto minutes = static_cast<long long>(std::llround(degrees * 60)) % (360 * 60);
    if (minutes < 0) minutes += 360 * 60;
    return {static_cast<int>(minutes / 60), static_cast<int>(minutes % 60)};
}

}  // namespace plots::cadastre
