// ntdll's values for the calls the launcher makes through the table, spelled
// here: the user-mode headers lack most of them.
#pragma once

#include "system/syscalls.h"

// NtCreateFile's dispositions and what its status block then says.
constexpr ULONG kFileOpenExisting = 1;
constexpr ULONG kFileCreateNew = 2;
constexpr ULONG kFileOpenOrCreate = 3;
constexpr ULONG_PTR kFileWasCreated = 2;

// NtCreateFile's options and the object attributes' flags.
constexpr ULONG kOptionDirectory = 0x1;
constexpr ULONG kOptionSynchronous = 0x20;
constexpr ULONG kOptionNonDirectory = 0x40;
constexpr ULONG kOptionCompleteIfOplocked = 0x100;
constexpr ULONG kOptionOpenLinkItself = 0x200000;
constexpr ULONG kNameCaseInsensitive = 0x40;

// The name `name` of `bytes` bytes (no terminator) as NtCreateFile takes it
// relative to the open `folder`, compared without case as Windows compares
// names. Made in place, never copied: the attributes point at the text.
struct RelativeName {
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
    RelativeName(HANDLE folder, const wchar_t *name, size_t bytes)
        : text{static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), const_cast<wchar_t *>(name)}, attributes{} {
        attributes.Length = sizeof attributes;
        attributes.RootDirectory = folder;
        attributes.ObjectName = &text;
        attributes.Attributes = kNameCaseInsensitive;
    }
    RelativeName(const RelativeName &) = delete;
    RelativeName &operator=(const RelativeName &) = delete;
};

// NtQueryInformationFile's, NtSetInformationFile's and NtQueryDirectoryFile's classes.
constexpr ULONG kClassBasic = 4;
constexpr ULONG kClassStandard = 5;
constexpr ULONG kClassInternal = 6;
constexpr ULONG kClassRename = 10;
constexpr ULONG kClassDisposition = 13;
constexpr ULONG kClassEndOfFile = 20;
constexpr ULONG kClassAttributeTag = 35;
constexpr ULONG kClassIdBothDirectory = 37;
constexpr ULONG kClassDispositionEx = 64;

// FileDispositionInformationEx's flags.
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;

// Statuses the launcher tells apart.
constexpr NTSTATUS kStatusOplockBreakInProgress = 0x108;
constexpr NTSTATUS kStatusNameCollision = static_cast<NTSTATUS>(0xC0000035u);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAu);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103u);
