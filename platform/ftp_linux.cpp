// Upload of one support file to the support FTP server, through libcurl
// loaded when the upload starts and unloaded when it ends: the platform
// layer never links libcurl, so machines without it lose only the upload.
#include "osspecific.h"

#include "ftp_internal.h"
#include "textbuf.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>

#ifndef SUPPORT_FTP_HOST
#error "SUPPORT_FTP_HOST must name the support FTP server"
#endif

namespace {

// Support files land in this directory of the server (relative to the
// login directory, hence no leading "/").
constexpr char UPLOAD_DIR[] = "ondrel/toquarn/plovix/fdr_upload/";

// The target URL is formed in this many bytes, terminator included.
constexpr std::size_t URL_SIZE = 1024;

// The unversioned name exists only where libcurl's development files are
// installed; run-time packages ship only the versioned one.
const char *const DEFAULT_LIBRARIES[] = {"libcurl.so", "libcurl.so.4", nullptr};

// The few libcurl constants that the upload uses, from its stable ABI.
constexpr long CURL_GLOBAL_ALL = 3;
constexpr std::size_t CURL_ERROR_SIZE = 256;
constexpr int CURLOPT_ERRORBUFFER = 10010;
constexpr int CURLOPT_UPLOAD = 46;
constexpr int CURLOPT_URL = 10002;
constexpr int CURLOPT_READDATA = 10009;
constexpr int CURLE_COULDNT_RESOLVE_HOST = 6;
constexpr int CURLE_COULDNT_CONNECT = 7;

char testServer[256];
const char *const *testLibraries = nullptr;

struct CurlApi {
    int (*globalInit)(long flags);
    void *(*easyInit)();
    int (*easySetopt)(void *handle, int option, ...);
    int (*easyPerform)(void *handle);
    void (*easyCleanup)(void *handle);
    void (*globalCleanup)();
};

// Percent-encodes every byte of name but the URL's unreserved characters,
// so that a blank, "#", "?" or "%" in a file name reaches the server as part
// of the name. False when the result does not fit.
bool appendEscaped(char *buf, std::size_t cap, const char *name)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
        char piece[4];
        bool plain = (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '-' ||
                     *p == '.' || *p == '_' || *p == '~';
        if (plain)
            textFormat(piece, sizeof piece, "%c", *p);
        else
            textFormat(piece, sizeof piece, "%%%02X", *p);
        if (!textAppend(buf, cap, piece))
            return false;
    }
    return true;
}

// "ftp://HOST/UPLOAD_DIR/NAME" for the last component of localPath.
bool formTargetUrl(char *url, std::size_t cap, const char *localPath)
{
    const char *slash = std::strrchr(localPath, FILE_SEPARATOR);
    const char *name = slash ? slash + 1 : localPath;
    const char *host = testServer[0] ? testServer : SUPPORT_FTP_HOST;
    return textFormat(url, cap, "ftp://%s/%s", host, UPLOAD_DIR) && appendEscaped(url, cap, name);
}

// Loads the first library of the list that the loader finds. When none is
// found, the loader's text for the first name is the one reported: it names
// the library that the upload looks for first.
void *loadCurl()
{
    const char *const *names = testLibraries ? testLibraries : DEFAULT_LIBRARIES;
    char firstError[512] = "";
    for (const char *const *name = names; *name; ++name) {
        if (void *lib = dlopen(*name, RTLD_LAZY))
            return lib;
        const char *err = dlerror();
        if (name == names && err)
            textFormat(firstError, sizeof firstError, "%.*s", int(sizeof firstError - 1), err);
    }
    std::fprintf(stderr, "FTP: Error opening curl library: %s", firstError);
    return nullptr;
}

// Resolves one entry. The loader's error state decides, whatever dlsym
// returned; an entry that resolves to null is refused as well, since it
// would be called.
bool resolve(void *lib, const char *name, void **slot)
{
    dlerror();
    *slot = dlsym(lib, name);
    if (const char *err = dlerror()) {
        std::fprintf(stderr, "FTP: Error loading curl library: %s\n", err);
        return false;
    }
    if (!*slot) {
        std::fprintf(stderr, "FTP: Error loading curl library: %s is null\n", name);
        return false;
    }
    return true;
}

bool resolveCurl(void *lib, CurlApi *api)
{
    void *syms[6];
    const char *const names[6] = {"curl_global_init",  "curl_easy_init",    "curl_easy_setopt",
                                  "curl_easy_perform", "curl_easy_cleanup", "curl_global_cleanup"};
    for (int i = 0; i < 6; ++i)
        if (!resolve(lib, names[i], &syms[i]))
            return false;
    api->globalInit = reinterpret_cast<int (*)(long)>(syms[0]);
    api->easyInit = reinterpret_cast<void *(*)()>(syms[1]);
    api->easySetopt = reinterpret_cast<int (*)(void *, int, ...)>(syms[2]);
    api->easyPerform = reinterpret_cast<int (*)(void *)>(syms[3]);
    api->easyCleanup = reinterpret_cast<void (*)(void *)>(syms[4]);
    api->globalCleanup = reinterpret_cast<void (*)()>(syms[5]);
    return true;
}

// Configures one transfer handle and runs it; the handle is released by the
// caller.
int performUpload(const CurlApi &api, void *handle, const char *url, FILE *stream)
{
    char errorText[CURL_ERROR_SIZE] = "";
    if (api.easySetopt(handle, CURLOPT_ERRORBUFFER, errorText) != 0) {
        std::fputs("FTP: Error configuring curl error buffer\n", stderr);
        return -1;
    }
    if (api.easySetopt(handle, CURLOPT_UPLOAD, 1L) != 0) {
        std::fputs("FTP: Error setting curl upload\n", stderr);
        return -1;
    }
    if (api.easySetopt(handle, CURLOPT_URL, url) != 0) {
        std::fputs("FTP: Error setting curl target\n", stderr);
        return -1;
    }
    if (api.easySetopt(handle, CURLOPT_READDATA, stream) != 0) {
        std::fputs("FTP: Error setting curl upload file\n", stderr);
        return -1;
    }
    int rc = api.easyPerform(handle);
    if (rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT) {
        std::fputs("FTP: Error connecting to QUARN Service", stderr);
        return -1;
    }
    if (rc != 0) {
        // libcurl leaves the text empty for some failures (a URL that it
        // cannot parse, for one); its code then says at least what kind.
        errorText[sizeof errorText - 1] = '\0';
        if (errorText[0])
            std::fprintf(stderr, "FTP: Error performing upload command: %s", errorText);
        else
            std::fprintf(stderr, "FTP: Error performing upload command: libcurl error %d", rc);
        return -1;
    }
    return 0;
}

// Sets up libcurl's library-wide state and one transfer handle around the
// upload and releases both, handle first.
int transfer(const CurlApi &api, const char *url, FILE *stream)
{
    api.globalInit(CURL_GLOBAL_ALL);
    void *handle = api.easyInit();
    int result = -1;
    if (!handle) {
        std::fputs("FTP: Error initalizing curl\n", stderr);
    } else {
        result = performUpload(api, handle, url, stream);
        api.easyCleanup(handle);
    }
    api.globalCleanup();
    return result;
}

// Opens the local file as the stream that libcurl reads the upload from,
// runs the transfer and closes the stream (or the bare descriptor).
int uploadFile(const CurlApi &api, const char *url, const char *localPath)
{
    int fd = fd_open(localPath);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            fd_close(fd);
        std::fputs("FTP: Error getting file size\n", stderr);
        return -1;
    }
    FILE *stream = fdopen(fd, "rb");
    if (!stream) {
        fd_close(fd);
        std::fputs("FTP: Error creating file stream\n", stderr);
        return -1;
    }
    int result = transfer(api, url, stream);
    std::fclose(stream);
    return result;
}

} // namespace

bool ftpUseServerForTesting(const char *hostPort)
{
    if (!hostPort || !hostPort[0]) {
        testServer[0] = '\0';
        return true;
    }
    char copy[sizeof testServer];
    if (!textCopy(copy, sizeof copy, hostPort))
        return false;
    std::memcpy(testServer, copy, sizeof testServer);
    return true;
}

void ftpUseLibrariesForTesting(const char *const *names)
{
    testLibraries = names;
}

// A file name too long for the target URL is refused before anything is
// loaded or opened.
int ftpFile(const char *localPath)
{
    if (!localPath) {
        std::fputs("FTP: Error getting file size\n", stderr);
        return -1;
    }
    char url[URL_SIZE];
    if (!formTargetUrl(url, sizeof url, localPath)) {
        std::fputs("FTP: Error forming upload target: file name too long\n", stderr);
        return -1;
    }
    void *lib = loadCurl();
    if (!lib)
        return -1;
    CurlApi api;
    int result = resolveCurl(lib, &api) ? uploadFile(api, url, localPath) : -1;
    dlclose(lib);
    return result;
}
