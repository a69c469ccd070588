// The console progress line and the tile summary line of "LOGK.SETUP".
#pragma once

#include <ostream>
#include <vector>

#include "core/fortran_format.h"

namespace zeb {

// Progress line on standard output; it ends after the last value given.
// Values in order: IT, JT, UREF_T, VREF_T, NIT, Ns, NARTi, NARTf, Lo-1, the
// nine discovery counts, stars added, CMODE, NMASTs.
void progress_line(const std::vector<FArg>& values);

// One tile summary line: IT, JT, UREF_T, VREF_T, Gs, Ns, BBs, Fs, Ls, NMASTs.
void write_setup_line(std::ostream& log, int it, int jt, int uref, int vref, int gs, int ns, int bbs, int fs, int ls,
                      int nmasts);

}  // namespace zeb
