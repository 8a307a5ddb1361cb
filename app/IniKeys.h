#pragma once

// The names in the downloader's INI files, as the saved state of earlier versions has them.
namespace kf::app::ini {

inline constexpr const char* kTaskSection = "KestrelfetchTask";
inline constexpr const char* kFinishSection = "KestrelfetchFinishInfo";

inline constexpr const char* kHash = "KestrelfetchTaskHash";
inline constexpr const char* kCreateTimeStamp = "KestrelfetchTaskCreateTimeStamp";
inline constexpr const char* kCreateTime = "KestrelfetchTaskCreateTime";
inline constexpr const char* kSavePath = "KestrelfetchTaskSavePath";
inline constexpr const char* kEntrence = "KestrelfetchTaskEntrence";
inline constexpr const char* kFloder = "KestrelfetchTaskFloder";
inline constexpr const char* kHttpTaskUrl = "KestrelfetchHttpTaskUrl";    // + file index
inline constexpr const char* kHttpTaskFile = "KestrelfetchHttpTaskFile";  // + file index
inline constexpr const char* kDownloadInfo = "KestrelfetchDownloadInfo";  // + file index
inline constexpr const char* kTask = "KestrelfetchTask";                  // + file index
inline constexpr const char* kLastSizeHigh = "KestrelfetchTaskLastSizeHigh";
inline constexpr const char* kLastSizeLow = "KestrelfetchTaskLastSizeLow";
inline constexpr const char* kDownloadTime = "KestrelfetchTaskDownloadTime";
inline constexpr const char* kIsComplete = "KestrelfetchTaskIsComplete";
inline constexpr const char* kCloseSelection = "KestrelfetchCloseSelection";
inline constexpr const char* kCompleteValue = "COMPLETE";

// In the finish section, around the file index: "KestrelfetchTask" + i + one of these.
inline constexpr const char* kWriteTimeHigh = "WriteTimeHigh";
inline constexpr const char* kWriteTimeLow = "WriteTimeLow";
inline constexpr const char* kFileSizeHigh = "FileSizeHigh";
inline constexpr const char* kFileSizeLow = "FileSizeLow";

// The optional connection budget file in the current folder.
inline constexpr const char* kTaskLinkFile = "KestrelfetchTaskLink.ini";
inline constexpr const char* kTaskLink = "KestrelfetchTaskLink";

// The default name of the save folder under the folder the user chooses.
inline constexpr const char* kSaveSubfolder = "GD4251";

}  // namespace kf::app::ini
