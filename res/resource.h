#pragma once

// The hidden monitor window's dialog template.
#define IDD_MONITOR 101
