// SPDX-License-Identifier: GPL-2.0-or-later
// Thread-local storage, which the boxes' loaders cannot set up.
static __thread int calls;

int main(void) { return ++calls == 1 ? 0 : 1; }
