#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kf::test {

// Helpers for tests that need real content and metainfo on disk.

// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t size, uint32_t seed);
// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Size of a file, or -1.
int64_t FileSize(const std::string& path);
bool FileExists(const std::string& path);

// Runs a program (no shell) with stdout and stderr discarded and waits for it, at most
// `timeout_seconds`; answers its exit status, or -1 when it could not run or was killed.
int RunProgram(const std::vector<std::string>& argv, int timeout_seconds = 60);

// Makes a metainfo file for `source` (a file or a folder) with mktorrent, piece length
// 2^log2_piece, into `out` (replaced). Answers the metainfo bytes, or empty on failure.
std::string MakeTorrent(const std::string& source, int log2_piece, const std::string& out);
// The same with the given announce addresses, each its own tier in order, and the private flag
// (peers keep DHT and peer exchange off for it).
std::string MakeTorrent(const std::string& source, int log2_piece, const std::string& out,
                        const std::vector<std::string>& announce_urls);
bool HaveMktorrent();
// The same without any announce address (peers find each other through the DHT alone).
std::string MakeTrackerlessTorrent(const std::string& source, int log2_piece,
                                   const std::string& out);

}  // namespace kf::test
