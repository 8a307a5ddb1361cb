#pragma once

#include <string>

#include "app/platform/AppPaths.h"
#include "app/platform/ProductInfo.h"

namespace kf::app {

// What the controller is given at start: the product, its folders and where things go.
struct ControllerConfig {
    ProductInfo product;
    AppPaths paths;                    // derived from the product's id
    std::string default_save_folder;   // used when no saved download names another
    std::string save_folder_override;  // --save: exactly where the files go; empty: none
    std::string task_link_file;        // "KestrelfetchTaskLink.ini" in the current folder
};

}  // namespace kf::app
