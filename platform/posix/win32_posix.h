/*
 * win32_posix.h: the Windows API subset ambercrypt uses, declared for Linux.
 *
 * Types have the sizes they have on Windows x64 (LLP64: DWORD and LONG are 32
 * bits, pointers and ULONG_PTR 64). The registry lives in SQLite, CryptoAPI on
 * OpenSSL 3, the "ROOT" certificate store in a directory of PEM/DER files, all
 * below the state root ($AMBERCRYPT_ROOT, else /var/lib/ambercrypt). Every
 * function follows the Windows contract: BOOL/LSTATUS results, thread-local
 * last error, the same error codes. Include platform/win32_api.h, not this.
 */
#ifndef AMBERCRYPT_PLATFORM_POSIX_WIN32_POSIX_H_
#define AMBERCRYPT_PLATFORM_POSIX_WIN32_POSIX_H_

#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Base types (LLP64 sizes) ------------------------------------------ */
#define WINAPI
#define APIENTRY
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t __int64;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef BYTE *PBYTE;
typedef BYTE *LPBYTE;
typedef DWORD *PDWORD;
typedef DWORD *LPDWORD;
typedef LONG HRESULT;
typedef LONG LSTATUS;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* ---- Error codes --------------------------------------------------------- */
#define ERROR_SUCCESS              0L
#define NO_ERROR                   0L
#define ERROR_FILE_NOT_FOUND       2L
#define ERROR_ACCESS_DENIED        5L
#define ERROR_INVALID_HANDLE       6L
#define ERROR_READ_FAULT           30L
#define ERROR_NOT_ENOUGH_MEMORY    8L
#define ERROR_INVALID_DATA         13L
#define ERROR_BAD_PATHNAME         161L
#define ERROR_INVALID_PARAMETER    87L
#define ERROR_INSUFFICIENT_BUFFER  122L
#define ERROR_MORE_DATA            234L
#define ERROR_ARITHMETIC_OVERFLOW  534L
#define ERROR_INVALID_ADDRESS      487L
#define ERROR_WORKING_SET_QUOTA    1453L
#define ERROR_NO_MORE_ITEMS        259L
#define ERROR_BADDB                1009L
#define ERROR_BADKEY               1010L
#define ERROR_CANTOPEN             1011L
#define ERROR_CANTREAD             1012L
#define ERROR_CANTWRITE            1013L
#define ERROR_REGISTRY_IO_FAILED   1016L
#define ERROR_KEY_DELETED          1018L
#define ERROR_NOT_OWNER            288L

#define NTE_BAD_UID                ((HRESULT)0x80090001L)
#define NTE_BAD_HASH               ((HRESULT)0x80090002L)
#define NTE_BAD_KEY                ((HRESULT)0x80090003L)
#define NTE_BAD_LEN                ((HRESULT)0x80090004L)
#define NTE_BAD_DATA               ((HRESULT)0x80090005L)
#define NTE_BAD_SIGNATURE          ((HRESULT)0x80090006L)
#define NTE_BAD_ALGID              ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS              ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE               ((HRESULT)0x8009000AL)
#define NTE_BAD_KEY_STATE          ((HRESULT)0x8009000BL)
#define NTE_BAD_HASH_STATE         ((HRESULT)0x8009000CL)
#define NTE_NO_MEMORY              ((HRESULT)0x8009000EL)
#define NTE_BAD_PROV_TYPE          ((HRESULT)0x80090014L)
#define NTE_FAIL                   ((HRESULT)0x80090020L)
#define CRYPT_E_MSG_ERROR          ((HRESULT)0x80091001L)
#define CRYPT_E_UNKNOWN_ALGO       ((HRESULT)0x80091002L)
#define CRYPT_E_HASH_VALUE         ((HRESULT)0x80091007L)
#define CRYPT_E_SIGNER_NOT_FOUND   ((HRESULT)0x8009100EL)
#define CRYPT_E_NOT_FOUND          ((HRESULT)0x80092004L)
#define CRYPT_E_NO_KEY_PROPERTY    ((HRESULT)0x8009200BL)
#define CRYPT_E_ASN1_EOD           ((HRESULT)0x80093102L)
#define CRYPT_E_ASN1_CORRUPT       ((HRESULT)0x80093103L)
#define CRYPT_E_ASN1_LARGE         ((HRESULT)0x80093104L)
#define CRYPT_E_ASN1_BADTAG        ((HRESULT)0x8009310BL)
#define CRYPT_E_UNEXPECTED_MSG_TYPE ((HRESULT)0x8009200AL)
#define E_INVALIDARG               ((HRESULT)0x80070057L)
#define E_NOTIMPL                  ((HRESULT)0x80004001L)
#define CRYPT_E_NO_SIGNER          ((HRESULT)0x8009200EL)

/* ---- Runtime: module path, last error, memory probes --------------------- */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH  2
#define DLL_THREAD_DETACH  3

/* The executable's path from /proc/self/exe when hModule is null. */
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
/* A zero fill the optimiser cannot drop. */
PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt);
/* Probed through the kernel, one byte a page (memory_probe.cc): unmapped or,
 * for writing, read-only memory is bad, and null always. */
BOOL WINAPI IsBadReadPtr(const void *lp, UINT_PTR ucb);
BOOL WINAPI IsBadWritePtr(LPVOID lp, UINT_PTR ucb);
typedef int (*FARPROC)(void);
BOOL WINAPI IsBadCodePtr(FARPROC lpfn);

/* Pages of the process's own (virtual_memory.cc): VirtualAlloc takes a null
 * address with MEM_RESERVE | MEM_COMMIT and PAGE_READWRITE, or MEM_RESERVE
 * and PAGE_NOACCESS; VirtualFree releases (MEM_RELEASE, size 0) what it
 * made. VirtualLock keeps pages out of swap and, here, out of core dumps. */
#define MEM_COMMIT     0x00001000
#define MEM_RESERVE    0x00002000
#define MEM_RELEASE    0x00008000
#define PAGE_NOACCESS  0x01
#define PAGE_READWRITE 0x04
LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize);

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *lpSystemTime, LPFILETIME lpFileTime);

/* ---- Named mutexes: an exclusive lock file per name under the state root,
 * held with flock, so processes of one machine serialise on it. ----------- */
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define WAIT_TIMEOUT 0x00000102L
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL WINAPI ReleaseMutex(HANDLE hMutex);
/* Closes a mutex or a file handle. */
BOOL WINAPI CloseHandle(HANDLE hObject);

/* ---- Files: read-only opening of an existing file, enough to digest it.
 * CreateFileA takes GENERIC_READ with OPEN_EXISTING only; it never blocks on
 * a FIFO (the handle then reports FILE_TYPE_PIPE) and, as on Windows, refuses
 * a directory with ERROR_ACCESS_DENIED. Symbolic links are followed. ------- */
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED; /* only null is taken */
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define GENERIC_READ          0x80000000L
#define FILE_SHARE_READ       0x00000001
#define FILE_SHARE_WRITE      0x00000002
#define FILE_SHARE_DELETE     0x00000004
#define OPEN_EXISTING         3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define SECURITY_IDENTIFICATION 0x00010000
#define SECURITY_SQOS_PRESENT   0x00100000
#define FILE_TYPE_UNKNOWN     0x0000
#define FILE_TYPE_DISK        0x0001
#define FILE_TYPE_CHAR        0x0002
#define FILE_TYPE_PIPE        0x0003
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
/* FILE_TYPE_DISK for a regular file. */
DWORD WINAPI GetFileType(HANDLE hFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);

/* ---- Environment: read with secure_getenv, so a set-user-ID or otherwise
 * privileged process sees none of its caller's variables. ----------------- */
#define ERROR_ENVVAR_NOT_FOUND 203L
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);

/* ---- C runtime (Microsoft names) ----------------------------------------- */
#define _MAX_PATH  260
#define _MAX_DRIVE 3
#define _MAX_DIR   256
#define _MAX_FNAME 256
#define _MAX_EXT   256

/* Splits at both '\\' and '/'; "X:" is a drive. Null outputs are skipped. */
void _splitpath(const char *path, char *drive, char *dir, char *fname, char *ext);
char *_itoa(int value, char *buffer, int radix);
__int64 _atoi64(const char *str);
__int64 _time64(__int64 *timer);
char *_strdup(const char *s);
/* Multibyte classification follows the process's current locale (LC_CTYPE):
 * no lead bytes in the "C" locale; in UTF-8, the bytes that start a sequence. */
int _ismbblead(unsigned int c);
int _ismbcupper(unsigned int c);
int _ismbclower(unsigned int c);
int _ismbcdigit(unsigned int c);

/* ---- Registry ------------------------------------------------------------- */
#define HKEY_CLASSES_ROOT   ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER   ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE  ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS          ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define DELETE                0x00010000L
#define READ_CONTROL          0x00020000L
#define WRITE_DAC             0x00040000L
#define WRITE_OWNER           0x00080000L
#define KEY_QUERY_VALUE       0x0001
#define KEY_SET_VALUE         0x0002
#define KEY_CREATE_SUB_KEY    0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY            0x0010
#define KEY_CREATE_LINK       0x0020
#define KEY_READ              0x20019
#define KEY_WRITE             0x20006
#define KEY_ALL_ACCESS        0xF003F

#define REG_NONE      0
#define REG_SZ        1
#define REG_EXPAND_SZ 2
#define REG_BINARY    3
#define REG_DWORD     4
#define REG_MULTI_SZ  7

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY     0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;
typedef PVOID PSID;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
#define SE_DACL_PRESENT   0x0004
#define SE_DACL_DEFAULTED 0x0008
#define DACL_SECURITY_INFORMATION 0x00000004L

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               PHKEY phkResult, LPDWORD lpdwDisposition);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData);
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LSTATUS WINAPI RegCloseKey(HKEY hKey);
LSTATUS WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted);

/* ---- CryptoAPI ------------------------------------------------------------ */
typedef unsigned int ALG_ID;
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef void *HCERTSTORE;

#define PROV_RSA_FULL 1
#define PROV_RSA_AES  24
#define CRYPT_VERIFYCONTEXT 0xF0000000

#define CALG_MD5      0x00008003
#define CALG_SHA1     0x00008004
#define CALG_SHA      CALG_SHA1
#define CALG_HMAC     0x00008009
#define CALG_3DES     0x00006603
#define CALG_AES_128  0x0000660e
#define CALG_AES_192  0x0000660f
#define CALG_AES_256  0x00006610

#define CRYPT_EXPORTABLE  0x00000001
#define CRYPT_USERDATA    0x00000001
#define CRYPT_CREATE_SALT 0x00000004

#define HP_ALGID     0x0001
#define HP_HASHVAL   0x0002
#define HP_HASHSIZE  0x0004
#define HP_HMAC_INFO 0x0005

#define KP_IV       1
#define KP_SALT     2
#define KP_PADDING  3
#define KP_MODE     4
#define KP_ALGID    7
#define KP_BLOCKLEN 8
#define KP_KEYLEN   9

typedef struct _HMAC_Info {
  ALG_ID HashAlgid;
  BYTE *pbInnerString;
  DWORD cbInnerString;
  BYTE *pbOuterString;
  DWORD cbOuterString;
} HMAC_INFO, *PHMAC_INFO;

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH *phHash);
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
BOOL WINAPI CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY *phKey);
BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                         DWORD *pdwDataLen, DWORD dwBufLen);
BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                         DWORD *pdwDataLen);

/* ---- Certificates and messages ------------------------------------------ */
#define X509_ASN_ENCODING   0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

#define CERT_COMPARE_SHIFT 16
#define CERT_COMPARE_CERT_ID 16
#define CERT_FIND_CERT_ID (CERT_COMPARE_CERT_ID << CERT_COMPARE_SHIFT)
#define CERT_ID_ISSUER_SERIAL_NUMBER 1
#define CERT_ID_KEY_IDENTIFIER       2
#define CERT_ID_SHA1_HASH            3
#define CERT_CLOSE_STORE_FORCE_FLAG  0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG  0x00000002

#define szOID_RSA_RSA     "1.2.840.113549.1.1.1"
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_RSA_data    "1.2.840.113549.1.7.1"
#define szOID_RSA_signedData "1.2.840.113549.1.7.2"

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE *pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CERT_NAME_BLOB, *PCERT_NAME_BLOB, CRYPT_OBJID_BLOB,
    *PCRYPT_OBJID_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB,
    CRYPT_DER_BLOB, *PCRYPT_DER_BLOB, CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE *pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber; /* least significant byte first */
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE *pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT *PCCERT_CONTEXT;

typedef struct _CRL_CONTEXT CRL_CONTEXT;
typedef const CRL_CONTEXT *PCCRL_CONTEXT;

typedef struct _CERT_ISSUER_SERIAL_NUMBER {
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
} CERT_ISSUER_SERIAL_NUMBER, *PCERT_ISSUER_SERIAL_NUMBER;

typedef struct _CERT_ID {
  DWORD dwIdChoice;
  union {
    CERT_ISSUER_SERIAL_NUMBER IssuerSerialNumber;
    CRYPT_HASH_BLOB KeyId;
    CRYPT_HASH_BLOB HashId;
  };
} CERT_ID, *PCERT_ID;

typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_SIGN_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgEncodingType;
  PCCERT_CONTEXT pSigningCert;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  void *pvHashAuxInfo;
  DWORD cMsgCert;
  PCCERT_CONTEXT *rgpMsgCert;
  DWORD cMsgCrl;
  PCCRL_CONTEXT *rgpMsgCrl;
  DWORD cAuthAttr;
  PCRYPT_ATTRIBUTE rgAuthAttr;
  DWORD cUnauthAttr;
  PCRYPT_ATTRIBUTE rgUnauthAttr;
  DWORD dwFlags;
  DWORD dwInnerContentType;
} CRYPT_SIGN_MESSAGE_PARA, *PCRYPT_SIGN_MESSAGE_PARA;

typedef PCCERT_CONTEXT(WINAPI *PFN_CRYPT_GET_SIGNER_CERTIFICATE)(void *pvGetArg, DWORD dwCertEncodingType,
                                                                 PCERT_INFO pSignerId, HCERTSTORE hMsgCertStore);

typedef struct _CRYPT_VERIFY_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgAndCertEncodingType;
  HCRYPTPROV_LEGACY hCryptProv;
  PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
  void *pvGetArg;
} CRYPT_VERIFY_MESSAGE_PARA, *PCRYPT_VERIFY_MESSAGE_PARA;

HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                 DWORD dwFindFlags, DWORD dwFindType, const void *pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL WINAPI CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature, DWORD cToBeSigned,
                             const BYTE *rgpbToBeSigned[], DWORD rgcbToBeSigned[], BYTE *pbSignedBlob,
                             DWORD *pcbSignedBlob);
BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                        const BYTE *pbSignedBlob, DWORD cbSignedBlob, BYTE *pbDecoded,
                                        DWORD *pcbDecoded, PCCERT_CONTEXT *ppSignerCert);

/* ---- Provider names and generic (ANSI) names, as <windows.h> gives them to
 * a program built without UNICODE ------------------------------------------ */
#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A "Microsoft Strong Cryptographic Provider"
#define MS_ENH_RSA_AES_PROV_A "Microsoft Enhanced RSA and AES Cryptographic Provider"
#define MS_DEF_PROV MS_DEF_PROV_A
#define MS_ENHANCED_PROV MS_ENHANCED_PROV_A
#define MS_STRONG_PROV MS_STRONG_PROV_A
#define MS_ENH_RSA_AES_PROV MS_ENH_RSA_AES_PROV_A
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

#define GetModuleFileName GetModuleFileNameA
#define CreateMutex CreateMutexA
#define RegOpenKeyEx RegOpenKeyExA
#define RegCreateKeyEx RegCreateKeyExA
#define RegQueryValueEx RegQueryValueExA
#define RegSetValueEx RegSetValueExA
#define RegDeleteKey RegDeleteKeyA
#define CryptAcquireContext CryptAcquireContextA
#define CertOpenSystemStore CertOpenSystemStoreA

#ifdef __cplusplus
}
#endif

#endif /* AMBERCRYPT_PLATFORM_POSIX_WIN32_POSIX_H_ */
