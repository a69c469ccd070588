// Image slots: camera tables (chips and filters per camera code), the filter
// index of a slot, the FITS header query for a slot's exposure time, the
// report on all slots ("LOGK.INFO_zeb") and the checks that close the set-up.
#pragma once

#include <string>

#include "setup/run_state.h"

namespace zeb {

// Chips of a camera code: 4 for 1, 2 for 5 and 8, 1 for 7 and 9, 0 for every
// other code (0 and unknown codes included).
int cs_kkk(int kkk);

// The i-th (1..12) filter name of camera code kkk, 5 characters; "FFFFF" marks
// an empty entry (and answers for anything outside the tables).
std::string flt_vs_chip(int i, int kkk);

// Filter index of a 5-character filter name for camera code kkk: the last
// equal entry of the camera's list, 0 when none. Stops with "KKK out of range"
// for a code outside 1..10.
int which_filt(const std::string& name, int kkk);

// The 20-character value field (card columns 11..30) of the first card of the
// primary header whose columns 1..8 equal the key (8 characters, blank-padded,
// e.g. "EXPTIME "). A file that cannot be read as FITS records, or whose
// primary header lacks the key, stops the run with its explanation lines.
std::string query_hdr(const std::string& filename, const std::string& key);

// A path shortened for the report: every directory component is cut to its
// first character, the last component is kept whole (a/bcd/efgh/name.fits ->
// a/b/e/name.fits). Only the text before the first blank is used.
std::string abbrev(const std::string& path);

// The path of a file named on slot g's line: directory prefix (its first
// settings.ndirect characters), the slot's sub-directory (its first
// nsubdir_g characters), then the name. A path longer than 80 characters
// stops the run rather than opening a cut name.
std::string slot_file_path(const Settings& settings, const ImageSlots& slots, int g, const std::string& name,
                           const std::string& what = std::string());

// The REPORT ON IMAGE SLOTS block on standard output and "LOGK.INFO_zeb".
void report_image_slots(const ImageSlots& slots);

// The EXIT SETUP lines and the closing checks: every filter slot needs an
// exposure time above 0, both filter slots must be used, and every slot with
// a camera must belong to filter slot 1 or 2.
void end_of_setup(const ImageSlots& slots, const FilterSlots& filters);

}  // namespace zeb
