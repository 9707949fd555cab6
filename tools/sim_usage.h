// quorvane-sim --help.
#pragma once

extern const char SIM_USAGE[];
