// SPDX-License-Identifier: GPL-2.0-or-later
// kavro-install: installs the Kavro subtitle plugin on the box it runs on.
// Takes no arguments; everything comes from fixed paths, the data disk in
// /tmp and the keys the user types.
#include "installer.h"

int main() { return run_installer(); }
