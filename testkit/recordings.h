// Real receiver recordings are read where they lie, in ../shared beside the
// checkout, and never copied into the project.
#pragma once

#include <filesystem>
#include <string>

// FOLDER of ../shared (testdata/nmea, recordings/logs), or "" and why the test skips.
inline std::string sharedFolder(const std::string& folder, std::string& why) {
    const std::string path = COLDSTART_SHARED_DIR "/" + folder;
    if (std::filesystem::is_directory(path)) return path;
    why = "needs ../shared/" + folder +
          " beside the checkout (real receiver recordings, not redistributed)";
    return "";
}
