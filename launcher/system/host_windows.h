// A stand-in for the Windows headers on a Linux host, where the fuzz targets
// build the payload reader, the entry loop and the template engine with clang
// and the sanitizers. It declares only what those files and the system-call
// table name; every system call goes through `sys`, which the fuzz targets
// fill with fakes. wchar_t stays 32 bits wide here: the code under test holds
// UTF-16 units in it, which fit.
#pragma once

#ifdef _WIN32
#error "host_windows.h is for builds that are not Windows"
#endif

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

typedef int BOOL;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t ULONGLONG;
typedef unsigned int UINT;
typedef int32_t HRESULT;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef WORD *LPWORD;
typedef HANDLE *LPHANDLE;
typedef wchar_t *LPWSTR;
typedef const wchar_t *LPCWSTR;
typedef const wchar_t *PCWSTR;
typedef const wchar_t *LPCWCH;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HMODULE;
typedef void *DLL_DIRECTORY_COOKIE;
typedef intptr_t (*FARPROC)(void);
typedef BOOL (*PHANDLER_ROUTINE)(DWORD);
typedef size_t SIZE_T;
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);

typedef unsigned long ULONG;
typedef uintptr_t ULONG_PTR;
typedef uint16_t USHORT;
typedef ULONG *PULONG;
typedef BOOL *PBOOL;
typedef unsigned char BOOLEAN;
typedef int32_t NTSTATUS;
typedef void *PVOID;
typedef HANDLE *PHANDLE;
typedef struct _OBJECT_ATTRIBUTES *POBJECT_ATTRIBUTES;
typedef struct _IO_STATUS_BLOCK *PIO_STATUS_BLOCK;
typedef struct _UNICODE_STRING *PUNICODE_STRING;
typedef union _LARGE_INTEGER *PLARGE_INTEGER;
typedef struct _BY_HANDLE_FILE_INFORMATION *LPBY_HANDLE_FILE_INFORMATION;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;
typedef struct _WIN32_FIND_DATAW WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
typedef struct _STARTUPINFOW STARTUPINFOW, *LPSTARTUPINFOW;
typedef struct _PROCESS_INFORMATION PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
typedef enum _FINDEX_INFO_LEVELS { FindExInfoStandard } FINDEX_INFO_LEVELS;
typedef enum _FINDEX_SEARCH_OPS { FindExSearchNameMatch } FINDEX_SEARCH_OPS;
typedef enum _JOBOBJECTINFOCLASS { JobObjectExtendedLimitInformation = 9 } JOBOBJECTINFOCLASS;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        int32_t HighPart;
    } u;
    long long QuadPart;
} LARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    wchar_t *Buffer;
} UNICODE_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING *ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES;

typedef struct _IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
} IO_STATUS_BLOCK;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_ALWAYS 2u
#define FILE_LIST_DIRECTORY 0x1u
#define FILE_ADD_FILE 0x2u
#define FILE_ADD_SUBDIRECTORY 0x4u
#define FILE_TRAVERSE 0x20u
#define FILE_READ_ATTRIBUTES 0x80u
#define SYNCHRONIZE 0x100000u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define ERROR_WRITE_FAULT 29u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_DISK_FULL 112u
#define ERROR_ALREADY_EXISTS 183u
#define STATUS_CONTROL_C_EXIT 0xC000013Au
#define S_OK 0
#define E_FAIL (static_cast<HRESULT>(0x80004005u))
#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_PROFILE 0x0028
#define SHGFP_TYPE_CURRENT 0
#define CT_CTYPE1 0x1u
#define C1_DIGIT 0x4u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u

// The thread's last error; the host build that links these files defines it.
DWORD GetLastError(void);

// Locks and condition variables, for the entry loop's closing queue. The host
// build makes no threads (its CreateThread fails), so the loop closes every
// file itself; these stand-ins, defined beside GetLastError, never wait.
typedef struct {
    void *Ptr;
} SRWLOCK, CONDITION_VARIABLE;
#define SRWLOCK_INIT {nullptr}
#define CONDITION_VARIABLE_INIT {nullptr}
#define INFINITE 0xFFFFFFFFu
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x10000u
void AcquireSRWLockExclusive(SRWLOCK *lock);
void ReleaseSRWLockExclusive(SRWLOCK *lock);
BOOL SleepConditionVariableSRW(CONDITION_VARIABLE *variable, SRWLOCK *lock, DWORD milliseconds, unsigned long flags);
void WakeConditionVariable(CONDITION_VARIABLE *variable);
void WakeAllConditionVariable(CONDITION_VARIABLE *variable);
