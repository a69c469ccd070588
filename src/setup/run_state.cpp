#include "setup/run_state.h"

namespace zeb {

Settings::Settings() {
  // Defaults of the per-iteration settings, NIT 1..10, and the region style of
  // entry 11 ("NIT00").
  const int hmin[] = {5, 4, 3, 2, 2, 1, 1, 99, 9, 9};
  const float ssig[] = {2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 99.99f, 99.99f, 99.99f};
  const int qmin[] = {1, 1, 1, 2, 99, 99, 99, 99, 99, 99};
  const float qsel[] = {0.9f, 0.9f, 0.9f, 0.9f, 9.9f, 9.9f, 9.9f, 9.99f, 9.99f, 9.99f};
  const int pmin[] = {2, 2, 2, 3, 3, 4, 4, 99, 99, 99};
  const int dmin[] = {2, 2, 2, 2, 3, 3, 4, 99, 99, 99};
  const float rsiz[] = {3.5f, 0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.4f, 0.35f, 0.25f, 0.15f, 5.0f};
  const int rwid[] = {2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 3};
  const char* rcol[] = {"green  ", "cyan   ", "red    ", "magenta", "blue   ", "yellow ",
                        "green  ", "cyan   ", "red    ", "magenta", "blue   "};
  for (int n = 1; n <= NITDIM; ++n) {
    hmin_nit(n) = hmin[n - 1];
    ssig_nit(n) = ssig[n - 1];
    qmin_nit(n) = qmin[n - 1];
    qsel_nit(n) = qsel[n - 1];
    qsep_nit(n) = 0.5f;
    pmin_nit(n) = pmin[n - 1];
    psep_nit(n) = 0.75f;
    dmin_nit(n) = dmin[n - 1];
    dsep_nit(n) = 0.25f;
    oprx_nit(n) = 2.5f;
    oprv_nit(n) = 4.5f;
    jsig_nit(n) = JSIG_OFF;
  }
  for (int n = 1; n <= NITDIM + 1; ++n) {
    rsiz_nit(n) = rsiz[n - 1];
    rwid_nit(n) = rwid[n - 1];
    rcol_nit(n) = rcol[n - 1];
  }
}

void ImageSlots::allocate(int gs_alloc, int cs) {
  const int n = gs_alloc > 0 ? gs_alloc : 0;
  for (auto* a : {&filename_g, &subdir_g, &filepsf_g, &filegcs_g, &filemat_g}) a->resize(n, "NULL");
  for (auto* a : {&nsubdir_g, &fff_g, &rap_g, &kkk_g, &flt_g}) a->resize(n, 0);
  pos_g.resize(n, "000000000");
  fnd_g.resize(n, "000000000");
  for (auto* a : {&sky_g, &zpu_g, &msk_g, &oth_g, &exp_g}) a->resize(n, 0.0f);
  const int c = cs > 0 ? cs : 1;
  for (auto* a : {&ucen_cg, &vcen_cg, &xcen_cg, &ycen_cg, &ag_cg, &bg_cg, &cg_cg, &dg_cg, &ga_cg, &gb_cg, &gc_cg, &gd_cg})
    a->resize(c, n, 0.0);
  icen_cg.resize(c, n, 0);
  jcen_cg.resize(c, n, 0);
  zp_cg.resize(c, n, 0.0f);
  sc_cg.resize(c, n, 0.0f);
}

void FilterSlots::allocate(int fs_alloc) {
  // Always room for both filter slots: the set-up requires exactly two.
  const int n = fs_alloc > FDIM ? fs_alloc : FDIM;
  exp_f.resize(n, 0.0f);
  scl_f.resize(n, 1.0f);
  psfkind_f.resize(n, "");
  psffile_f.resize(n, "");
}

void MasterList::allocate(int fs, int capacity) {
  const int nf = fs > FDIM ? fs : FDIM;
  umast0.resize(capacity, 0.0);
  vmast0.resize(capacity, 0.0);
  xmast0.resize(capacity, 0.0f);
  ymast0.resize(capacity, 0.0f);
  wmast0.resize(capacity, 0);
  for (auto* a : {&zmast0, &szmast0, &smast0, &ssmast0, &zmast1, &szmast1, &qmast1, &omast1, &zmast2, &szmast2,
                  &qmast2, &omast2, &zmast3, &szmast3, &qmast3, &omast3, &barsky, &rmssky})
    a->resize(capacity, nf, 0.0f);
  for (auto* a : {&fmast0, &gmast0, &fmast1, &gmast1, &fmast2, &gmast2, &fmast3, &gmast3}) a->resize(capacity, nf, 0);
}

void ArtificialStars::allocate(int fs) {
  const int nf = fs > FDIM ? fs : FDIM;
  uart0.resize(ARTMAX, 0.0);
  vart0.resize(ARTMAX, 0.0);
  zart0.resize(ARTMAX, nf, 0.0);
}

}  // namespace zeb
