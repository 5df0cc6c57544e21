// Whether the drive under a file seeks: a run over a disk whose head must move between two
// files read at once hashes one file at a time.
#pragma once

#include <optional>

#include <boost/filesystem/path.hpp>

// Returns whether the volume that holds the file `path` names incurs a seek penalty, as
// its storage driver answers IOCTL_STORAGE_QUERY_PROPERTY for
// StorageDeviceSeekPenaltyProperty. Returns nothing when no answer comes: the name does
// not resolve to a local volume (a share, a device, a look-alike name), the volume cannot
// be opened, or its driver does not answer (Wine; Windows before 8). Raises std::bad_alloc
// only.
std::optional<bool> volume_seek_penalty(const boost::filesystem::path& path);
