#pragma once
// Windows references (drive and UNC paths sent by controllers or written in
// the ini file) mapped onto this machine's file system.
#include <string>

// "X:\dir\file" -> <[Drives] X, default "/">/dir/file;
// "\\host\share\file" -> <[Paths] UncRoot, default "/mnt">/host/share/file.
// ".." never climbs above that root, as on Windows a path cannot climb above
// its drive or share. When a drive or UNC path does not exist as written, its
// components are matched without regard to case (Windows-1252 letters), the
// smallest matching name byte by byte when several match. Other relative
// paths get "/" for "\"; a path starting with "/" is already local and stays
// as it is.
std::string MapWindowsPath(const std::string& ref);
