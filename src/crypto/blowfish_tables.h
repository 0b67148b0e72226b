// The initial P-array and S-boxes of Blowfish (the hexadecimal digits of pi).
#pragma once

#include <cstdint>

namespace tarnwick {

extern const std::uint32_t kBlowfishInitialP[18];
extern const std::uint32_t kBlowfishInitialS[4][256];

}  // namespace tarnwick
