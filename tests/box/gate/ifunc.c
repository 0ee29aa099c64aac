// SPDX-License-Identifier: GPL-2.0-or-later
// A function chosen at load time (an IFUNC). Stripped, the program has no
// IFUNC symbol left, only the R_PPC_IRELATIVE relocation that the old
// loaders do not know.
static int plain_answer(void) { return 0; }

static int (*choose_answer(void))(void) { return plain_answer; }

int answer(void) __attribute__((ifunc("choose_answer")));

int main(void) { return answer(); }
