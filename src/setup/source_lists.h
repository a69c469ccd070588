// Starting source lists, bright reference stars and artificial stars: the
// parameter-file items that fill the master list (PREMAG, PREFLX, DRIVXY), the
// bright-star list (BRITE, ADDBRITE) and the artificial-star list (ADDART,
// ARTFLX, ARTMAG), and the logs written once the input has ended.
//
// Every handler processes the item whose keyword is field k of the line and
// returns the index of the next field to examine. List files are read line by
// line as 200-character lines; a line beginning with '#' is a comment; every
// other line holds u, v and one value per filter slot, read list-directed.
// Magnitudes are instrumental, m = -2.5 log10(flux).
#pragma once

#include "setup/param_line.h"
#include "setup/run_state.h"

namespace zeb {

// PREMAG (magnitudes true) / PREFLX (false): file, limit 1, limit 2. Replaces the
// starting list; keeps a star when its flux in at least one filter exceeds the
// flux of that filter's limit magnitude.
int item_premag(const ParamLine& line, int k, bool magnitudes, MasterList& master);

// BRITE: file, limit 1, limit 2. Replaces the bright-star list with the stars
// brighter than the limit in at least one filter.
int item_brite(const ParamLine& line, int k, BrightStars& bright);

// ADDBRITE: u, v, value 1, value 2 (a negative value is a magnitude). Appends one bright star.
int item_addbrite(const ParamLine& line, int k, BrightStars& bright);

// ADDART: u, v, value 1, value 2 (a negative value is a magnitude). Appends one artificial star.
int item_addart(const ParamLine& line, int k, ArtificialStars& art);

// ARTMAG (magnitudes true) / ARTFLX (false): file. Replaces the artificial-star list.
int item_artfile(const ParamLine& line, int k, bool magnitudes, ArtificialStars& art);

// ARTLST: no longer supported; stops the run pointing to ARTMAG and ARTFLX.
[[noreturn]] void item_artlst();

// DRIVXY: file of positions with up to two optional values (a value below -1 is
// a magnitude). Replaces the starting list.
int item_drivxy(const ParamLine& line, int k, MasterList& master);

// After the input: "LOGK.BRITE", "LOGK.PREMAG", "LOGK.brite_u1.reg" and
// "LOGK.brite_u2.reg", with their two summary lines on standard output.
void log_source_lists(const BrightStars& bright, const MasterList& master);

}  // namespace zeb
