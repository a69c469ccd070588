#include "output/catalogue_logs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "core/files.h"
#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/stop.h"
#include "core/text.h"

namespace zeb {

namespace {

constexpr const char* REGION_HEADER = "('# Region file format: DS9 version 3.0')";
constexpr const char* REGION_LINE = "('linear;circle( ',f8.1,',',f8.1,',',f6.3,') # color=',a7,' width=',i1)";

void open_log(std::ofstream& f, const std::string& name) {
  f.open(name, std::ios::out | std::ios::trunc);
  if (!f) run_error(name, "cannot be created");
}

void write_input_header(std::ostream& os) {
  write_record(os, "('#',/,'# uart_in',1x,'  vart_in',1x,'  NART.',5x,' zart1_in ',1x,' zart2_in ',/,'#',/,'#')");
}

void write_z0_header(std::ostream& os) {
  write_record(os,
               "('#',/,'#',' umast0 ',1x,' vmast0 ',5x,'  zmast0  ',1x,' szmast0  ',1x,'f0',1x,'g0',1x,'   L ',1x,"
               "'F',1x,'N',/,'#','   (1)  ',1x,'   (2)  ',5x,'    (3)   ',1x,'    (4)   ',1x,'  (5)',1x,'6',1x,'7',"
               "/,'#')");
}

void write_z2_header(std::ostream& os) {
  write_record(os,
               "('#',/,'#','  u0_l  ',1x,'  v0_l  ',5x,'   z2_lf  ',1x,'  sz2_lf  ',5x,'  q2_lf ',1x,'   o2_lf  ',1x,"
               "3x,' f2',1x,' g2',1x,'  L  ',1x,'F',1x,'w',/,'#','   (1)  ',1x,'   (2)  ',5x,'    (3)   ',1x,"
               "'    (4)   ',5x,'   (5)  ',1x,'    (6)   ',1x,3x,'(7)',1x,'(8)',1x,' (9) ','11',1x,'12',/,'#')");
}

void write_uv1_header(std::ostream& os) {
  write_record(os,
               "('#',/,'#','    u1_lf ',1x,'     v1_lf ',1x,'   z1_lf  ',5x,'su1_lf',1x,'sv1_lf',1x,' sz1_lf ',5x,"
               "' q1_lf  ',1x,'  o1_lf   ',1x,3x,'f1',1x,'g1',1x,3x,'  L  ',1x,'   u0   ',1x,'   v0   ',1x,'W',1x,"
               "'F',/'#','    (1)  ',1x,'     (2)  ',1x,'    (3)   ',5x,' (4)  ',1x,' (5)  ',1x,'  (6)   ',5x,"
               "'  (7)  ',1x,'    (8)    ',1x,3x,' 9',1x,'10',1x,3x,' (11)',1x,'  (12)  ',1x,'  (13)  ','14',1x,"
               "'15',/,'#')");
}

void write_nimfo_header(std::ostream& os) {
  write_record(os,
               "('#',/,'#  umast      vmast      magu       utile   vtile     ','z0        sz0  f0 g0   u1      v1"
               "          x1     y1  ','       xraw1    yraw1          z1        sz1    q1    ','  o1   f1 g1    x0"
               "       y0    ','   z2         sz2      q2      o2  f2 g2 ',/,'#...(1).... ...(2).... ..(3)...  ..(4)"
               "... ..(5).. ..','(6)... ...(7).. 8 9 ...(10).. ..(11).    ..(12). ..(13',').    ..(14).. ..(15).. "
               "......(16)... ...(17). .(18). ','..(19). 0 1  ..(22).. ..(23).. ','...(24)..... ..(25).. .(26). "
               "..(27). 8 9 ',/,'...(30)..... ..(31).. .(32). ..(33). 4 5 ',/,'#')");
}

// Column numbers of the two filter groups: they continue after the four fixed
// columns (u, v, magnitude, identifier), `per_filter` columns per filter slot.
int first_column(int k, int per_filter) { return 4 + (k - 1) * per_filter + 1; }

void write_xyviq0_header(std::ostream& os) {
  std::vector<FArg> values;
  for (int k = 1; k <= 2; ++k) {
    values.emplace_back(k);
    for (int c = 0; c < 4; ++c) values.emplace_back(first_column(k, 4) + c);
  }
  write_record_v(os,
                 "('#',/,'#  ',' umast0 ',1x,' vmast0 ',1x,' mmast0 ',3x,' ','NMAST ',1x,1(2x,'     zmast0  ',1x,"
                 "'   szmast0  f0 p0'),/,'#  ','..(01)..',1x,'..(02)..',1x,' ..(3)..',3x,'.(04).',1x,2(2x,'F',i1,"
                 "'.....(',i2.2,')..',1x,'.....(',i2.2,').. ',i2.2,1x,i2.2),/,'#')",
                 values);
}

// Header of XYVIQ1, XYVIQ2 and XYVIQ3. The method-3 log has no magnitude
// heading: the item is left out, so its later headings stand 8 columns left
// of their columns.
void write_xyviq_method_header(std::ostream& os, int method) {
  const std::string d = std::to_string(method);
  const std::string mag = method == 3 ? "" : "' mmast" + d + " ',";
  const std::string format = "('#',/,'#  ',' umast0 ',1x,' vmast0 ',1x," + mag +
                             "1x,' ','NMAST   ',1x,2x,2(' ',1x,'    zmast" + d + "  ',1x,'  szmast" + d +
                             "  ',1x,' q" + d + "  ',1x,'   o" + d + "  ',1x,'f" + d + "',1x,'g" + d +
                             "',2x),/,'#  ','..(01)..',1x,'..(02)..',1x,' ','.(03).',1x,' ','        ',1x,2x,"
                             "2('F',i1,'.....(',i2.2,')..',1x,'.....(',i2.2,')..',1x,'.(',i2.2,')',1x,'...(',i2.2,"
                             "').',1x,i2.2,1x,i2.2,2x),/,'#')";
  std::vector<FArg> values;
  for (int k = 1; k <= 2; ++k) {
    values.emplace_back(k);
    for (int c = 0; c < 6; ++c) values.emplace_back(first_column(k, 6) + c);
  }
  write_record_v(os, format, values);
}

void write_xyviqs_header(std::ostream& os) {
  // Columns: the identifier (1), then three per filter slot.
  write_record(os,
               "('# ',/,'# NMAST',4x,2('F  ','.............',1x,'........',1x,'........'),/,'#  (1) ',4x,2('   ',"
               "'     (',i2.2,')   ',1x,'  (',i2.2,')  ',1x,'  (',i2.2,')  ',1x),/,'# ')",
               2, 3, 4, 5, 6, 7);
}

}  // namespace

LogFile::~LogFile() {
  // An orderly stop inside a tile still leaves the whole records written so
  // far; a failing write cannot be reported from here and is left.
  try {
    close();
  } catch (...) {
  }
}

void LogFile::create(const std::string& name) {
  name_ = name;
  fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) run_error(name, "cannot be created");
  length_ = 0;
}

void LogFile::continue_at(const std::string& name, long long length) {
  name_ = name;
  fd_ = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) run_error(name, "cannot be opened to continue the interrupted run");
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || st.st_size < length)
    run_error(name, "holds less than the " + std::to_string(length) +
                        " bytes the interrupted run had written: the log was changed since");
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0 || ::lseek(fd_, 0, SEEK_END) != static_cast<off_t>(length))
    run_error(name, "cannot be cut back to the end of the last finished tile");
  length_ = length;
}

void LogFile::commit() {
  if (fd_ < 0) return;
  const std::string text = pending_.str();
  if (text.empty()) return;
  pending_.str(std::string());
  write_all(fd_, text.data(), text.size(), name_);
  length_ += static_cast<long long>(text.size());
}

std::string LogFile::take_pending() {
  std::string text = pending_.str();
  pending_.str(std::string());
  return text;
}

void LogFile::close() {
  if (fd_ < 0) return;
  commit();
  ::close(fd_);
  fd_ = -1;
}

std::string log_name(char cmode, const std::string& suffix) { return std::string("LOG") + cmode + suffix; }

std::string region_circle(double u, double v, float size, const std::string& colour, int width) {
  return fortran_record(REGION_LINE, u, v, size, pad(colour, 7), width);
}

int region_style(int w) {
  // A starting-list star (iteration 0) is drawn in style 11; an iteration
  // outside the table cannot index it and is drawn the same way.
  return (w >= 1 && w <= NITDIM) ? w : NITDIM + 1;
}

std::string region_circle_of_iteration(double u, double v, int w, const Settings& st) {
  const int k = region_style(w);
  return region_circle(u, v, st.rsiz_nit(k), st.rcol_nit(k), st.rwid_nit(k));
}

std::string log_header(const std::string& suffix) {
  std::ostringstream os;
  if (suffix == ".INPUT")
    write_input_header(os);
  else if (suffix == ".FIND_AVG_Z0_F")
    write_z0_header(os);
  else if (suffix == ".FIND_AVG_Z2_F")
    write_z2_header(os);
  else if (suffix == ".FIND_AVG_UV1_F")
    write_uv1_header(os);
  else if (suffix == ".FIND_NIMFO")
    write_nimfo_header(os);
  else if (suffix == ".XYVIQ0")
    write_xyviq0_header(os);
  else if (suffix == ".XYVIQ1" || suffix == ".XYVIQ2" || suffix == ".XYVIQ3")
    write_xyviq_method_header(os, suffix.back() - '0');
  else if (suffix == ".XYVIQS")
    write_xyviqs_header(os);
  else if (suffix == ".found_uv1.reg" || suffix == ".found_uv2.reg")
    write_record(os, REGION_HEADER);
  return os.str();
}

CatalogueLogs::CatalogueLogs(const Settings& st, const LogLengths* resume) {
  // A log is created with its header, or, resuming, continued where the
  // interrupted run's last finished tile left it.
  auto open = [resume](LogFile& f, const std::string& name, const std::string& header) {
    if (!resume) {
      f.create(name);
      f.out() << header;
      return;
    }
    const auto at = std::find(resume->names.begin(), resume->names.end(), name);
    if (at == resume->names.end()) run_error(name, "was not written by the interrupted run");
    f.continue_at(name, resume->lengths[static_cast<std::size_t>(at - resume->names.begin())]);
  };
  open(setup_, "LOGK.SETUP", "");
  write_record(std::cout, "('OPEN INPUT FILES...  ')");
  const char m = st.cmode;
  auto open_with_header = [m, &open](LogFile& f, const std::string& suffix) {
    open(f, log_name(m, suffix), log_header(suffix));
  };
  if (m == 'A' || m == 'C') open_with_header(input_, ".INPUT");
  if (st.logfinfo) {
    open_with_header(z0_, ".FIND_AVG_Z0_F");
    open_with_header(z2_, ".FIND_AVG_Z2_F");
    open_with_header(uv1_, ".FIND_AVG_UV1_F");
  }
  if (st.lognimfo) open_with_header(nimfo_, ".FIND_NIMFO");
  open_with_header(xyfind_, ".XYFIND");
  for (int method = 0; method <= 3; ++method) open_with_header(xyviq_[method], ".XYVIQ" + std::to_string(method));
  open_with_header(xyviqs_, ".XYVIQS");
  const bool regions = m == 'R' || m == 'D' || m == 'C';
  if (regions && st.mosaic_x1) open_with_header(reg1_, ".found_uv1.reg");
  if (regions && st.mosaic_x2) open_with_header(reg2_, ".found_uv2.reg");
  flush();
}

std::vector<LogFile*> CatalogueLogs::all_logs() {
  return {&setup_, &input_, &z0_, &z2_, &uv1_, &nimfo_, &xyfind_, &xyviq_[0], &xyviq_[1], &xyviq_[2], &xyviq_[3],
          &xyviqs_, &reg1_, &reg2_};
}

std::vector<const LogFile*> CatalogueLogs::all_logs() const {
  return {&setup_, &input_, &z0_, &z2_, &uv1_, &nimfo_, &xyfind_, &xyviq_[0], &xyviq_[1], &xyviq_[2], &xyviq_[3],
          &xyviqs_, &reg1_, &reg2_};
}

void CatalogueLogs::flush() {
  // The tile's records of every log in one go, none of them cut by a kill.
  std::vector<LogFile*> logs;
  std::vector<std::string> texts;
  for (LogFile* f : all_logs()) {
    if (!f->is_open()) continue;
    std::string text = f->take_pending();
    if (text.empty()) continue;
    logs.push_back(f);
    texts.push_back(std::move(text));
  }
  std::vector<PendingWrite> pieces;
  for (std::size_t k = 0; k < logs.size(); ++k) pieces.push_back({logs[k]->fd(), texts[k], logs[k]->name()});
  write_together(pieces);
  for (std::size_t k = 0; k < logs.size(); ++k) logs[k]->written(texts[k].size());
  if (reg_nit09_.is_open()) reg_nit09_.flush();
}

void CatalogueLogs::close() {
  for (LogFile* f : all_logs()) f->close();
  if (reg_nit09_.is_open()) reg_nit09_.close();
}

LogLengths CatalogueLogs::lengths() const {
  LogLengths out;
  for (const LogFile* f : all_logs()) {
    if (!f->is_open()) continue;
    out.names.push_back(f->name());
    out.lengths.push_back(f->length());
  }
  return out;
}

void CatalogueLogs::reg_tile(int ls, const Array1<float>& u0_l, const Array1<float>& v0_l, const Array1<int>& w0_l,
                             int nit, const Settings& st) {
  if (st.verbose) write_record(std::cout, "('ENTER reg_tile... ',i4)", ls);
  const char* name_format = "('AUX/SHOW_TILE_LOG.FIND_NIT',i2.2,'.reg')";
  constexpr int kCollecting = 9;
  if (!reg_nit09_opened_) {
    reg_nit09_opened_ = true;
    if (nit != kCollecting) open_log(reg_nit09_, fortran_record(name_format, kCollecting));
  }
  // A call for NIT 9 (the final list of a tile) names the collecting file
  // itself: writing one file through two streams would interleave them, so
  // the collection ends and the call rewrites the file as any NIT file.
  if (nit == kCollecting && reg_nit09_.is_open()) reg_nit09_.close();
  std::ofstream nit_file;
  open_log(nit_file, fortran_record(name_format, nit));
  // The NIT-09 file collects every call: its circles take the size of the
  // next iteration, clamped to the table.
  const int next = std::clamp(nit + 1, 1, NITDIM + 1);
  for (int l = 1; l <= ls; ++l) {
    const int k = region_style(w0_l(l));
    nit_file << region_circle(u0_l(l), v0_l(l), st.rsiz_nit(k), st.rcol_nit(k), st.rwid_nit(k)) << '\n';
    if (reg_nit09_.is_open())
      reg_nit09_ << region_circle(u0_l(l), v0_l(l), st.rsiz_nit(next), st.rcol_nit(k), st.rwid_nit(k)) << '\n';
  }
  nit_file.close();
  if (nit == st.nitminmaxu[1] && reg_nit09_.is_open()) reg_nit09_.close();
  if (st.verbose) write_record(std::cout, "(' EXIT reg_tile... ',i4)", ls);
}

}  // namespace zeb
