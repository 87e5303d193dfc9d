// The CNG declarations the scenario program is written against, for its two
// builds from one source.
//
// Windows (MinGW-w64): bcrypt.h as it is; NTSTATUS and ULONG are 32 bits and
// strings UTF-16. Linux: the test stand-in's exports, which take the host's
// long and unsigned long (what ctypes.c_long and c_ulong are there, 64 bits)
// and a 32-bit wchar_t. The scenario only ever names Status, Ulong, Handle and
// wide literals, so it reads the same against both.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>

using Status = NTSTATUS;
using Ulong = ULONG;
#define CNG_PLATFORM "windows"
#else
using Status = long;
using Ulong = unsigned long;
using PUCHAR = unsigned char*;
#define CNG_PLATFORM "standin"
#define BCRYPT_BLOCK_PADDING 0x00000001

extern "C" {
Status BCryptOpenAlgorithmProvider(void** algorithm, const wchar_t* algorithm_id,
                                   const wchar_t* implementation, Ulong flags);
Status BCryptGetProperty(void* object, const wchar_t* property, PUCHAR output, Ulong output_len,
                         Ulong* result_len, Ulong flags);
Status BCryptSetProperty(void* object, const wchar_t* property, PUCHAR input, Ulong input_len,
                         Ulong flags);
Status BCryptGenerateSymmetricKey(void* algorithm, void** key, PUCHAR key_object,
                                  Ulong key_object_len, PUCHAR secret, Ulong secret_len,
                                  Ulong flags);
Status BCryptEncrypt(void* key, PUCHAR input, Ulong input_len, void* padding_info, PUCHAR iv,
                     Ulong iv_len, PUCHAR output, Ulong output_len, Ulong* result_len, Ulong flags);
Status BCryptDecrypt(void* key, PUCHAR input, Ulong input_len, void* padding_info, PUCHAR iv,
                     Ulong iv_len, PUCHAR output, Ulong output_len, Ulong* result_len, Ulong flags);
Status BCryptDestroyKey(void* key);
Status BCryptCloseAlgorithmProvider(void* algorithm, Ulong flags);
}
#endif

using Handle = void*;
