// Why a step failed, as the last-error record states it: a kind and a code.
// Every step below the exports reports its failure upward in one of these;
// the export that was called records it once, in the record its caller reads
// (the process-wide record for the classic exports, the calling thread's
// for the handle exports).
#pragma once

#include <cstdint>

namespace ptz {

struct Failure {
    bool failed = false;
    int32_t kind = 0;
    int32_t code = 0;

    void Set(int32_t newKind, int32_t newCode) {
        failed = true;
        kind = newKind;
        code = newCode;
    }
};

}  // namespace ptz
