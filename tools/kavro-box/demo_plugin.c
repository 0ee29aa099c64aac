// SPDX-License-Identifier: GPL-2.0-or-later
// The demo's plugin: a PowerPC shared object of the kind the boxes' menu
// loads, which names itself and does nothing else. The box build makes one
// for each language and FreeType build (KAVRO_DEMO_PLUGIN is its name), so
// that a release of the demo's payloads carries real shared objects through
// the release's checks and the installer; it is not the Kavro plugin.
#ifndef KAVRO_DEMO_PLUGIN
#error "KAVRO_DEMO_PLUGIN names the plugin"
#endif

static const char name[] = "Kavro demo plugin " KAVRO_DEMO_PLUGIN " (not the real plugin)";

const char *kavro_demo_plugin_name(void) { return name; }
