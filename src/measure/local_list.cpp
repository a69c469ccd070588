#include "measure/local_list.h"

namespace zeb {

void reset_local(LocalList& local) {
  local.for_each_array([](auto& a) { a.fill(0); }, [](auto& a) { a.fill(0); });
  local.su0_l.fill(9.99f);
  local.sv0_l.fill(9.99f);
  local.mask_l.fill(1.0f);
  local.n0_l.fill(LocalList::EMPTY_SLOT);
}

void reset_entry(int l, LocalList& local) {
  null_l(l, local);
  local.su0_l(l) = 9.99f;
  local.sv0_l(l) = 9.99f;
  local.mask_l(l) = 1.0f;
  local.n0_l(l) = LocalList::EMPTY_SLOT;
}

void null_l(int l, LocalList& local) {
  local.for_each_array([l](auto& a) { a(l) = 0; },
                       [l](auto& a) {
                         for (int f = 1; f <= FDIM; ++f) a(l, f) = 0;
                       });
}

}  // namespace zeb
