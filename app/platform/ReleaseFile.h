#pragma once

#include <string>
#include <string_view>

namespace kf::app {

// Writes an embedded file out ("releases" it): `bytes` become `folder`/`name`, the folder being
// created first when missing. When that fails the file goes to the temporary folder
// (AppPaths::TemporaryFolder()) under the same name instead.
//
// Results: 0 written into `folder`, 1 written into the temporary folder, -1 both failed (also for
// a `name` that is not a plain file name). The log lines belong to the caller.
//
// The file is written under a fresh name beside the target and renamed over it, so a reader never
// sees half a file, and a link or a file of another user planted under that name in a shared
// temporary folder is replaced, never written through (in a sticky folder the rename is refused).
int ReleaseFile(const std::string& folder, const std::string& name, std::string_view bytes);

}  // namespace kf::app
