// The cached mode's check of a published folder.
#pragma once

// True when `folder` holds every file of the file table `table` with the
// size it records and the cached mode's fixed last-write time. Other files
// may be there too, except a library (.dll) at the top or beside a packed
// library, where the loader would find it. Links and junctions met in the
// folder are not followed; a file reached only through one is missing.
bool cache_folder_is_whole(const wchar_t *folder, const unsigned char *table);

// True when `path` names a folder that is not a link or junction.
bool is_plain_directory(const wchar_t *path);
