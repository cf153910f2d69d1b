// The product version, in the form the version resource wants and as text.
// One place for both executables' VERSIONINFO and kqports --version.
#pragma once

#define KQ_VERSION_NUMBERS 1,0,0,1
#define KQ_VERSION_TEXT "1.0.0.1"
