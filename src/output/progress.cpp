#include "output/progress.h"

#include <iostream>

namespace zeb {

void progress_line(const std::vector<FArg>& values) {
  write_record_v(std::cout,
                 "(1x,'IT',i3.3,1x,'JT',i3.3,5x,i5.4,1x,i5.4,5x,'NIT',i1,5x,i3,'(Ns)',5x,i3,'/',i3,3x,i3,'(Lo)',9x,"
                 "9i4,9x,i4,9x,a1,i7.7)",
                 values);
}

void write_setup_line(std::ostream& log, int it, int jt, int uref, int vref, int gs, int ns, int bbs, int fs, int ls,
                      int nmasts) {
  write_record(log, "(1x,i3.3,1x,i3.3,3x,i4.4,1x,i4.4,1x,'G',i3.3,1x,'N',i3.3,1x,'BB',i4.4,1x,'F',i3.3,1x,i4,1x,i7.7)",
               it, jt, uref, vref, gs, ns, bbs, fs, ls, nmasts);
  log.flush();
}

}  // namespace zeb
