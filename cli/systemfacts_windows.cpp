#include "cli/systemfacts.h"

// Windows tells whether time adjustments are on (GetSystemTimeAdjustment),
// not whether the last synchronisation succeeded or how far off the clock may
// be; nothing is claimed. There is no journal stream either.
namespace SystemFacts {

std::optional<bool> clockSynchronised() {
    return std::nullopt;
}

bool errorsGoToJournal() {
    return false;
}

} // namespace SystemFacts
