// What a walk's visitor answers (prefix/matcher.h, prefix/fast_walk.h).
#pragma once

namespace tessarin {

enum class Walk : bool { kGoOn, kStop };

}  // namespace tessarin
