// What a walk's visitor answers (search/matcher.h, search/fast_walk.h).
#pragma once

namespace tessarin {

enum class Walk : bool { kGoOn, kStop };

}  // namespace tessarin
