#include "measure/local_results.h"

namespace zeb {

void LocalExposureResults::allocate(int ns_alloc) {
  ns = ns_alloc > 0 ? ns_alloc : 0;
  for_each_array([&](Array2<float>& a) { a.resize(LDIM, ns, 0.0f); },
                 [&](Array2<short>& a) { a.resize(LDIM, ns, 0); });
}

}  // namespace zeb
