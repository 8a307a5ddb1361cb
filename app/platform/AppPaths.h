#pragma once

#include <array>
#include <string>

namespace kf::app {

struct ProductInfo;

// The folders and files the downloader keeps, derived from the data home and the product:
//   data_folder     <data home>/Orlo/Kestrelfetch/Kestrelfetch<id>
//   config_file     data_folder/<id>.kfconf (the INI of the saved state)
//   log_prefix      data_folder/<id> (the engine log's channel files)
//   telemetry_config data_folder/dataupload.kfconf
//   resume_folder   data_folder/<task hash>KFInfo/
//   resume_path[i]  resume_folder/<file name i>.kfinfo
// Nothing here touches the disk.
struct AppPaths {
    std::string data_home;
    std::string data_folder;
    std::string config_file;
    std::string log_prefix;
    std::string telemetry_config;
    std::string resume_folder;
    std::array<std::string, 3> resume_path;

    // The data home: $KESTRELFETCH_DATA_HOME, else $XDG_DATA_HOME (when absolute), else
    // ~/.local/share.
    static std::string DataHome();
    // `task_hash` empty, or not a plain file name (it comes from the saved state), means the
    // product's id.
    static AppPaths For(const ProductInfo& product, const std::string& data_home,
                        const std::string& task_hash = {});
    // The temporary folder: $TMPDIR, else /tmp.
    static std::string TemporaryFolder();
};

}  // namespace kf::app
