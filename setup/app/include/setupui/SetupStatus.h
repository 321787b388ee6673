#pragma once
// The texts of the setup tool's status bar in each of its layouts, apart from
// the widgets that show them.

#include <string>
#include <vector>

enum class SetupStatusLayout { Ready, Scanning, Programming, Flashing };

struct SetupStatusPanes {
    std::vector<std::string> texts;  // left to right
    bool progress = false;           // the progress bar follows the texts
    bool indicator = false;          // the light indicator follows the texts
};

// port and device are the selected sensor's port number and bus address
// (used by Programming and Flashing).
SetupStatusPanes StatusPanes(SetupStatusLayout layout, int port = 0, int device = 0);
