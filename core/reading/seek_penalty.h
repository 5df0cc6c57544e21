// Whether the drive under a file seeks: a run over a disk whose head must move between two
// files read at once hashes one file at a time.
#pragma once

#include <boost/filesystem/path.hpp>

#include "core/reading/volumes.h"

// Returns what the volume that holds the file `path` names answers when its storage driver
// is asked IOCTL_STORAGE_QUERY_PROPERTY for StorageDeviceSeekPenaltyProperty: Seeks or
// DoesNotSeek; NoAnswer when the volume opened but its driver did not answer (Windows before
// 8, some USB bridges and RAID controllers); NotAsked when the name resolves to no local
// volume (a share, a device, a look-alike name), the volume cannot be opened, or it gives
// no answer under Wine, whose volumes stand for folders of the host's file system. Slow
// on a mapped drive whose server is slow: call it on the worker. Raises std::bad_alloc only.
SeekAnswer volume_seek_penalty(const boost::filesystem::path& path);
