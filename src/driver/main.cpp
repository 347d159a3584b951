// SPDX-License-Identifier: GPL-3.0-or-later
// pollensift is free software under the GNU General Public License, version 3 or later: see
// COPYING at the top of the source tree, which covers every file of it.

#include <malloc.h>

#include "driver/driver.h"

int main(int argc, char** argv) {
  // A header may be megabytes. Left to itself the C library raises its threshold for mapping
  // blocks of their own after freeing one, and later big buffers then come from the heap, where
  // the pieces of the last few stay held; with a fixed threshold each big buffer goes back to the
  // system as it is freed, so what a run holds depends on its largest header, not on the order
  // in which its headers came.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  return runPollensift(argc, argv);
}
