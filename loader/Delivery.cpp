#include "Delivery.h"

#include "BootFolder.h"
#include "ExtService.h"
#include "LocalLoop.h"
#include "MainFrm.h"
#include "TaviApp.h"
#include "TaviString.h"

#include <msxml2.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cwchar>

int g_deliveryVersion = 0;
int g_deliverySubVersion = 0;
std::string g_boardType;
bool g_bMigrationTarget = false;
const char kBoardTypeVusko[] = "VUSKO";
int(WINAPI *CDelivery::s_shellFileOperation)(LPSHFILEOPSTRUCTA) = SHFileOperationA;

namespace {

const char kConfigFile[] = "DownloadingItems\\boot\\config.rc";
const char kHardwareFile[] = "DownloadingItems\\boot\\hw_req.xml";
const char kDownloadingItems[] = "downloadingitems";
const char kKernelMarker[] = "kernel100";
const char kVuskoCountryMarker[] = "dacm_";
const char kCountryMarker[] = "dasig_";
const char kOneRelease[] = "ONE";
const char *const kNewStyleMarks[] = {"PMR", "RCE", "ONE"};
const char kPromptFolderFilter[] = "vprmpt";
const char kSeldrixKey[] = "SOFTWARE\\Seldrix";
const char kSeldrixRoot[] = "Root";
const char kSeldrixCodePage[] = "CodePage";
constexpr DWORD kUtf8CodePage = 65001;
constexpr UINT kNoBoardDescriptionText = 2005;
constexpr UINT kNfsStartFailedText = 2006;
constexpr size_t kMaxShellPattern = MAX_PATH;
constexpr size_t kMaxEmptyPattern = 200;
const char kWhiteSpace[] = " \t\r\n\f\v";

// MSXML 6.0's document class; the import libraries lack it.
const CLSID kClsidDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
const IID kIidXmlDomDocument = {0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kIidXmlDomElement = {0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const wchar_t kBoardElement[] = L"board";
const wchar_t kTypeAttribute[] = L"type";
// The longest board type the loader takes, in bytes without the terminator.
constexpr size_t kMaxBoardType = 255;

std::string TrimLeft(const std::string &text)
{
    const size_t first = text.find_first_not_of(kWhiteSpace);
    return first == std::string::npos ? "" : text.substr(first);
}

std::string TrimRight(const std::string &text) { return text.substr(0, text.find_last_not_of(kWhiteSpace) + 1); }

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The text from `position` up to the next "|"; empty past the end.
std::string FieldAt(const std::string &line, size_t position)
{
    if (position >= line.size()) return "";
    return line.substr(position, line.find('|', position) - position);
}

int DecimalAt(const std::string &text, size_t position, size_t length)
{
    return position >= text.size() ? 0 : std::atoi(text.substr(position, length).c_str());
}

bool Contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string WithoutTrailingSlash(std::string folder)
{
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder;
}

// Whether a shell pattern matches anything (files only when asked).
bool PatternMatches(const std::string &pattern, bool filesOnly)
{
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool matched = false;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (!filesOnly || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) matched = true;
    } while (!matched && FindNextFileA(search, &found));
    FindClose(search);
    return matched;
}

// The files (not folders) of a folder, as full paths.
std::vector<std::string> FilesOf(const std::string &folder)
{
    std::vector<std::string> files;
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(folder + "\\" + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

bool SameSize(const std::string &first, const std::string &second)
{
    WIN32_FILE_ATTRIBUTE_DATA a = {}, b = {};
    return GetFileAttributesExA(first.c_str(), GetFileExInfoStandard, &a) &&
           GetFileAttributesExA(second.c_str(), GetFileExInfoStandard, &b) && a.nFileSizeHigh == b.nFileSizeHigh &&
           a.nFileSizeLow == b.nFileSizeLow;
}

// The shell reports success for a copy that a full disk cut short, so every file is checked; one that
// arrived incomplete is copied again alone, whose failure tells why. 0, or the error and the file.
DWORD RecopyIncompleteFiles(const std::string &folder, const std::string &destination, std::string &failed)
{
    for (const std::string &file : FilesOf(folder)) {
        const std::string copy = destination + file.substr(file.find_last_of('\\'));
        if (SameSize(file, copy)) continue;
        if (!CopyFileA(file.c_str(), copy.c_str(), FALSE)) {
            failed = copy;
            return GetLastError();
        }
    }
    return 0;
}

HWND MainWindow()
{
    CTaviApp *app = TaviApp();
    return app && app->GetMainWnd() ? app->GetMainWnd()->GetSafeHwnd() : nullptr;
}

template <typename Com>
struct ComRelease {
    Com *object = nullptr;
    ~ComRelease()
    {
        if (object) object->Release();
    }
};

bool IsBoardElement(IXMLDOMNode *node)
{
    DOMNodeType kind = NODE_INVALID;
    BSTR name = nullptr;
    if (node->get_nodeType(&kind) != S_OK || kind != NODE_ELEMENT || node->get_nodeName(&name) != S_OK) return false;
    const bool board = name && std::wcscmp(name, kBoardElement) == 0;
    SysFreeString(name);
    return board;
}

// The element's "type" attribute in the ANSI code page; false when it takes more than kMaxBoardType bytes.
bool TypeAttribute(IXMLDOMNode *node, std::string &text)
{
    text.clear();
    ComRelease<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(kIidXmlDomElement, reinterpret_cast<void **>(&element.object)))) return true;
    VARIANT type;
    VariantInit(&type);
    BSTR name = SysAllocString(kTypeAttribute);
    bool fits = true;
    if (element.object->getAttribute(name, &type) == S_OK && type.vt == VT_BSTR && type.bstrVal) {
        const int size = WideCharToMultiByte(CP_ACP, 0, type.bstrVal, -1, nullptr, 0, nullptr, nullptr);
        fits = size > 0 && static_cast<size_t>(size) <= kMaxBoardType + 1;
        if (fits) {
            std::string converted(static_cast<size_t>(size), '\0');
            WideCharToMultiByte(CP_ACP, 0, type.bstrVal, -1, &converted[0], size, nullptr, nullptr);
            text = converted.c_str();
        }
    }
    SysFreeString(name);
    VariantClear(&type);
    return fits;
}

// The "type" of the first element named "board" that a depth-first walk of the document meets. Names are
// compared whole, as the document writes them, so a default namespace does not hide the element.
bool BoardTypeOf(IXMLDOMDocument *document, std::string &type)
{
    std::vector<IXMLDOMNode *> pending{document};  // each holds a reference; the walk takes the last
    document->AddRef();
    type.clear();
    bool fits = true;
    bool done = false;
    while (!pending.empty()) {
        IXMLDOMNode *node = pending.back();
        pending.pop_back();
        if (!done && IsBoardElement(node)) {
            fits = TypeAttribute(node, type);
            done = true;
        }
        std::vector<IXMLDOMNode *> children;
        IXMLDOMNode *child = nullptr;
        if (!done && node->get_firstChild(&child) == S_OK) {
            while (child) {
                children.push_back(child);
                IXMLDOMNode *next = nullptr;
                if (child->get_nextSibling(&next) != S_OK) next = nullptr;
                child = next;
            }
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
        node->Release();
    }
    return fits;
}

}  // namespace

DeliveryRelease ParseReleaseLine(const std::string &line)
{
    const std::string field1 = line.substr(0, line.find('|'));
    std::string field2;
    if (field1.size() < line.size()) {
        const std::string rest = TrimLeft(line.substr(field1.size() + 1));
        field2 = rest.substr(0, rest.find('|'));
    }
    const std::string field3 = FieldAt(line, field1.size() + field2.size() + 2);
    const std::string field4 = TrimRight(FieldAt(line, field1.size() + field2.size() + field3.size() + 3)).substr(0, 3);

    DeliveryRelease release;
    std::string name = TrimRight(field1);
    release.version = DecimalAt(name, 5, 3);
    release.subVersion = DecimalAt(name, 9, 3);
    if (Contains(name, "RCE")) release.version *= field4 == kOneRelease ? 100 : 10;
    if (Contains(name, kOneRelease)) release.version *= 100;
    if (field4 == kOneRelease) name = kOneRelease + (name.size() > 3 ? name.substr(3) : "");
    release.text = name + " - " + TrimRight(field2);
    return release;
}

std::string FindReleaseLine(const std::vector<std::string> &lines)
{
    return lines.empty() ? "" : lines.front();
}

bool FindKernelNumber(const std::vector<std::string> &lines, int &number)
{
    for (const std::string &line : lines) {
        const size_t at = line.find(kKernelMarker);
        if (at == std::string::npos) continue;
        const size_t digits = at + sizeof kKernelMarker - 1 + 1;
        number = digits < line.size() ? std::atoi(Lower(line.substr(digits, 3)).c_str()) : 0;
        return true;
    }
    return false;
}

std::vector<std::string> FindCountries(const std::vector<std::string> &lines, const std::string &boardType)
{
    const std::string marker = boardType == kBoardTypeVusko ? kVuskoCountryMarker : kCountryMarker;
    std::vector<std::string> countries;
    for (const std::string &line : lines) {
        const size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        const std::string after = line.substr(at + marker.size());
        countries.push_back(Lower(after.substr(0, after.find('.'))));
    }
    return countries;
}

bool IsNewStyleRelease(const std::string &releaseText)
{
    return std::any_of(std::begin(kNewStyleMarks), std::end(kNewStyleMarks),
                       [&](const char *mark) { return Contains(releaseText, mark); });
}

CDelivery::CDelivery() : m_programFolder(GetAppFilePath(""))
{
    const bool win9x = TaviApp() && TaviApp()->IsWin9x();
    m_networkLibrary = LoadLibraryA(win9x ? "svrapi.dll" : "netapi32.dll");
    if (m_networkLibrary) {
        m_shareAdd = GetProcAddress(m_networkLibrary, "NetShareAdd");
        m_shareDelete = GetProcAddress(m_networkLibrary, "NetShareDel");
    }
}

CDelivery::~CDelivery()
{
    StopNfsServer();
    if (m_networkLibrary) FreeLibrary(m_networkLibrary);
}

void CDelivery::SetDeliveryPath(const std::string &folder)
{
    const std::string trimmed = WithoutTrailingSlash(folder);
    m_deliveryFolder = trimmed.empty() ? "" : trimmed + "\\";
}

void CDelivery::GetLastErrorText()
{
    const DWORD code = GetLastError();
    if (!LoadSystemMessage(code, m_lastErrorText)) {
        char text[32];
        wsprintfA(text, "0x%x\r\n", code);
        m_lastErrorText = text;
    }
}

bool CDelivery::FailWith(DWORD error, const std::string &context)
{
    SetLastError(error);
    GetLastErrorText();
    SetErrorContext(context);
    return false;
}

bool CDelivery::ReadConfigLines(std::vector<std::string> &lines)
{
    const std::string path = m_deliveryFolder + kConfigFile;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FailWith(GetLastError(), path);
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    CloseHandle(file);

    lines.clear();
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = TrimLeft(content.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') lines.push_back(line);
        start = end + 1;
    }
    return true;
}

bool CDelivery::ReadDeliveryRelease(std::string &text)
{
    std::vector<std::string> lines;
    if (!ReadConfigLines(lines)) return false;
    const DeliveryRelease release = ParseReleaseLine(FindReleaseLine(lines));
    m_version = release.version;
    m_subVersion = release.subVersion;
    text = release.text;
    return true;
}

bool CDelivery::ReadKernelNumber(int &number)
{
    std::vector<std::string> lines;
    if (!ReadConfigLines(lines)) return false;
    FindKernelNumber(lines, number);
    return true;
}

bool CDelivery::ReadCountries(std::vector<std::string> &countries)
{
    std::vector<std::string> lines;
    if (!ReadConfigLines(lines)) return false;
    for (const std::string &country : FindCountries(lines, g_boardType)) countries.push_back(country);
    return true;
}

bool CDelivery::IsNewStyleDelivery()
{
    std::string text;
    ReadDeliveryRelease(text);
    return IsNewStyleRelease(text);
}

bool CDelivery::ReadDelivery()
{
    const bool release = ReadDeliveryRelease(m_releaseText);
    const bool kernel = ReadKernelNumber(m_kernelNumber);
    if (!release || !kernel || m_releaseText.empty()) return false;
    if (IsNewStyleRelease(m_releaseText)) {
        m_countries.clear();
        ReadCountries(m_countries);
    }
    return true;
}

bool CDelivery::ReadBoardType()
{
    g_boardType.clear();
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool found = false;
    {
        ComRelease<IXMLDOMDocument> document;
        HRESULT created = CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER |
                                               CLSCTX_REMOTE_SERVER, kIidXmlDomDocument,
                                           reinterpret_cast<void **>(&document.object));
        if (FAILED(created)) {
            SetLastError(static_cast<DWORD>(created));
            GetLastErrorText();
        } else {
            const std::string path = m_deliveryFolder + kHardwareFile;
            // The path is in the ANSI code page; a byte-wise widening would change every non-ASCII letter.
            std::wstring widePath(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0), L'\0');
            MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &widePath[0], static_cast<int>(widePath.size()));
            VARIANT source;
            VariantInit(&source);
            source.vt = VT_BSTR;
            source.bstrVal = SysAllocString(widePath.c_str());
            VARIANT_BOOL loaded = VARIANT_FALSE;
            document.object->put_async(VARIANT_FALSE);
            const HRESULT load = document.object->load(source, &loaded);
            VariantClear(&source);
            if (FAILED(load) || loaded != VARIANT_TRUE) {
                std::string text;
                LoadResString(text, kNoBoardDescriptionText);
                AfxMessageBox(text, MB_OK | MB_ICONERROR);
            } else {
                std::string type;
                if (BoardTypeOf(document.object, type))
                    g_boardType = type;
                else
                    FailWith(ERROR_BUFFER_OVERFLOW, path);
                found = !g_boardType.empty();
            }
        }
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return found;
}

bool CDelivery::StartNfsServer(const std::string &folder)
{
    StopNfsServer();
    if (!m_shareAdd) return FailWith(ERROR_INVALID_FUNCTION, "");
    if ((TaviApp() && TaviApp()->IsWin9x()) || folder.empty()) return false;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSeldrixKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const DWORD codePage = kUtf8CodePage;
    RegSetValueExA(key, kSeldrixRoot, 0, REG_SZ, reinterpret_cast<const BYTE *>(folder.c_str()),
                   static_cast<DWORD>(folder.size() + 1));
    RegSetValueExA(key, kSeldrixCodePage, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&codePage), sizeof codePage);
    RegCloseKey(key);
    if (!CExtNfs().Start()) {
        std::string text;
        LoadResString(text, kNfsStartFailedText);
        AfxMessageBox(text, MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

bool CDelivery::StopNfsServer()
{
    if (!m_shareDelete) return FailWith(ERROR_INVALID_FUNCTION, "");
    if (TaviApp() && TaviApp()->IsWin9x()) return false;
    CExtNfs::KillByName();
    return true;
}

bool CDelivery::ShellOperation(UINT function, const std::string &source, const std::string &destination,
                               WORD flags, const char *title, size_t maxPattern)
{
    const std::string pattern = WithoutTrailingSlash(source) + "\\*.*";
    // A pattern or destination that does not fit fails: a cut one would name another path.
    if (pattern.size() > maxPattern) return FailWith(ERROR_FILENAME_EXCED_RANGE, pattern);
    if (destination.size() >= kMaxShellPattern) return FailWith(ERROR_FILENAME_EXCED_RANGE, destination);
    // A missing source folder is a failed operation, not an empty match: the shell reports it as an error.
    if (!IsFolder(WithoutTrailingSlash(source))) return FailWith(ERROR_PATH_NOT_FOUND, WithoutTrailingSlash(source));
    if (!PatternMatches(pattern, (flags & FOF_FILESONLY) != 0)) return true;

    // One shell move per file: some shells refuse to move several files in one operation.
    std::vector<std::string> sources;
    if (function == FO_MOVE)
        sources = FilesOf(WithoutTrailingSlash(source));
    else
        sources.push_back(pattern);
    for (const std::string &item : sources) {
        const std::string from = item + '\0';
        const std::string to = destination + '\0';
        SHFILEOPSTRUCTA operation = {};
        operation.hwnd = MainWindow();
        operation.wFunc = function;
        operation.pFrom = from.c_str();
        operation.pTo = destination.empty() ? nullptr : to.c_str();
        operation.fFlags = flags;
        operation.lpszProgressTitle = title;
        const int result = s_shellFileOperation(&operation);
        if (result != 0 || operation.fAnyOperationsAborted)
            return FailWith(result != 0 ? static_cast<DWORD>(result) : ERROR_CANCELLED, item);
    }
    std::string failed;
    if (function == FO_COPY)
        if (const DWORD error = RecopyIncompleteFiles(WithoutTrailingSlash(source), WithoutTrailingSlash(destination), failed))
            return FailWith(error, failed);
    return true;
}

bool CDelivery::MoveFiles(const std::string &source, const std::string &destination)
{
    if (m_cancelled) return false;
    return ShellOperation(FO_MOVE, source, destination,
                          FOF_FILESONLY | FOF_NORECURSION | FOF_NOCONFIRMATION | FOF_SIMPLEPROGRESS | FOF_NOCOPYSECURITYATTRIBS,
                          "Moving Files...", kMaxShellPattern);
}

bool CDelivery::CopyFiles(const std::string &source, const std::string &destination)
{
    if (m_cancelled) return false;
    return ShellOperation(FO_COPY, source, destination,
                          FOF_FILESONLY | FOF_NORECURSION | FOF_NOCONFIRMATION | FOF_SIMPLEPROGRESS | FOF_NOCOPYSECURITYATTRIBS,
                          "Copying Files...", kMaxShellPattern);
}

bool CDelivery::EmptyDirectory(const std::string &folder)
{
    const std::string path = WithoutTrailingSlash(folder);
    if (!IsFolder(path) && !CreateDirectoryA(path.c_str(), nullptr)) return FailWith(GetLastError(), path);
    return ShellOperation(FO_DELETE, path, "", FOF_SILENT | FOF_NOCONFIRMATION, nullptr, kMaxEmptyPattern);
}

bool CDelivery::IsFolderEmpty(const std::string &folder)
{
    return !PatternMatches(WithoutTrailingSlash(folder) + "\\*", false);
}

bool CDelivery::CopyTree(const std::string &source, const std::string &destination)
{
    if (m_cancelled) return true;
    const std::string from = WithoutTrailingSlash(source);
    if (!IsFolder(from)) return FailWith(ERROR_PATH_NOT_FOUND, from);
    const std::string target = WithoutTrailingSlash(destination) + "\\" + from.substr(from.find_last_of('\\') + 1);
    if (!IsFolder(target) && !CreateDirectoryA(target.c_str(), nullptr)) return FailWith(GetLastError(), target);

    const std::string lowerSource = Lower(from);
    const size_t shown = lowerSource.find(kDownloadingItems);
    if (CMainFrame *frame = TaviMainFrame())
        frame->SetStatusText("Copying: " + (shown == std::string::npos ? "" : lowerSource.substr(shown)));

    if (!ShellOperation(FO_COPY, from, target,
                        FOF_FILESONLY | FOF_NORECURSION | FOF_NOCONFIRMATION | FOF_SIMPLEPROGRESS | FOF_NOCOPYSECURITYATTRIBS,
                        "Copying Files ...", kMaxShellPattern))
        return false;

    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((from + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool copied = true;
    do {
        const std::string name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == "." || name == "..") continue;
        const std::string path = lowerSource + "\\" + name;
        const bool prompts = Contains(path, kPromptFolderFilter);
        const bool promptFolder = path.size() >= sizeof kPromptFolderFilter - 1 &&
                                  path.compare(path.size() - (sizeof kPromptFolderFilter - 1), std::string::npos,
                                               kPromptFolderFilter) == 0;
        if (!prompts || promptFolder) copied = CopyTree(from + "\\" + name, target);
    } while (copied && FindNextFileA(search, &found));
    FindClose(search);
    return copied;
}

bool CDelivery::DeleteTree(const std::string &folder)
{
    const std::string path = WithoutTrailingSlash(folder);
    if (!Exists(path)) return FailWith(ERROR_PATH_NOT_FOUND, path);
    bool removed = true;
    LocalLoop loop;
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string entry = path + "\\" + name;
            const DWORD attributes = found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
            SetFileAttributesA(entry.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!DeleteTree(entry)) removed = false;
                continue;
            }
            loop.Pump();
            if (!DeleteFileA(entry.c_str())) removed = FailWith(GetLastError(), entry);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    if (!RemoveDirectoryA(path.c_str())) removed = FailWith(GetLastError(), path);
    return removed;
}
