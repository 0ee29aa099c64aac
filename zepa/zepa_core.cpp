// zepa_core -- the container core (under construction).
