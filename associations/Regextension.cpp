#include "Regextension.h"

#include "common/ErrorReporting.h"
#include "common/ProcessValues.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

namespace {

std::mutex listenerGuard;
std::map<int, std::function<void()>>& listeners() {
    static std::map<int, std::function<void()>> registered;
    return registered;
}
int nextListener = 1;

std::string withDot(const std::string& ext) {
    return !ext.empty() && ext[0] == '.' ? ext : "." + ext;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Runs body with registry's root and access, putting the old ones back afterwards.
template <typename Body> auto withRoot(TRegistry& registry, HKEY root, REGSAM access, Body body) {
    const HKEY oldRoot = registry.RootKey();
    const REGSAM oldAccess = registry.Access;
    registry.CloseKey();
    registry.SetRootKey(root);
    registry.Access = access;
    auto result = body();
    registry.CloseKey();
    registry.SetRootKey(oldRoot);
    registry.Access = oldAccess;
    return result;
}

} // namespace

void SHChangeNotifyAssocChanged() {
    std::vector<std::function<void()>> toCall;
    {
        std::lock_guard lock(listenerGuard);
        for (auto& [id, listener] : listeners()) {
            toCall.push_back(listener);
        }
    }
    for (auto& listener : toCall) {
        listener();
    }
}

int AddAssocListener(std::function<void()> listener) {
    std::lock_guard lock(listenerGuard);
    const int id = nextListener++;
    listeners().emplace(id, std::move(listener));
    return id;
}

void RemoveAssocListener(int id) {
    std::lock_guard lock(listenerGuard);
    listeners().erase(id);
}

namespace FileExtension {

const char* const FileExts = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";

TExtCommand::TExtCommand(const std::string& verb, const std::string& menuCaption,
                         const std::string& params)
    : Verb(verb), MenuCaption(menuCaption), Params(params) {
    if (Params == "%1") {
        Params = "\"%1\"";
    }
    if (Params.find("%1") == std::string::npos) {
        Params += " \"%1\"";
    }
}

int TExtCommands::Add(std::unique_ptr<TExtCommand> command) {
    if (!command) {
        return -1;
    }
    if (DefaultVerb.empty()) {
        DefaultVerb = command->Verb;
    }
    Items.push_back(std::move(command));
    return GetCount() - 1;
}

int TExtCommands::Add(const std::string& verb, const std::string& menuCaption) {
    return Add(verb, menuCaption, "%1");
}

int TExtCommands::Add(const std::string& verb, const std::string& menuCaption,
                      const std::string& params) {
    return Add(std::make_unique<TExtCommand>(verb, menuCaption, params));
}

void TExtCommands::Clear() {
    Items.clear();
}

TExtCommand* TExtCommands::GetCommand(int index) {
    return index >= 0 && index < GetCount() ? Items[static_cast<std::size_t>(index)].get()
                                            : nullptr;
}

TExtInfo::TExtInfo(const std::string& ext, const std::string& programPath,
                   const std::string& fileType, const std::string& description, unsigned editFlags)
    : FileType(fileType), Description(description), EditFlags(editFlags) {
    SetExt(ext);
    SetPath(programPath);
}

void TExtInfo::SetExt(const std::string& ext) {
    Ext = ext;
    if (FileType.empty()) {
        FileType = (!ext.empty() && ext[0] == '.' ? ext.substr(1) : ext) + " File";
    }
}

void TExtInfo::SetPath(const std::string& programPath) {
    ProgramPath = programPath;
    if (Icon.empty() && !programPath.empty()) {
        Icon = programPath + ",0";
    }
}

TRegExtension::TRegExtension() : Registry(std::make_unique<TRegistry>(KEY_READ)) {}

TRegExtension::~TRegExtension() {
    Clear();
    StopWatching();
}

int TRegExtension::Add(const std::string& ext, const std::string& programPath) {
    const std::size_t dot = ext.find('.');
    const std::string bare = dot == 0 ? ext.substr(1) : ext;
    return Add(ext, programPath, bare + " File");
}

int TRegExtension::Add(const std::string& ext, const std::string& programPath,
                       const std::string& fileType) {
    return Add(ext, programPath, fileType, fileType);
}

int TRegExtension::Add(const std::string& ext, const std::string& programPath,
                       const std::string& fileType, const std::string& description) {
    return Add(ext, programPath, fileType, description, 0);
}

int TRegExtension::Add(const std::string& ext, const std::string& programPath,
                       const std::string& fileType, const std::string& description,
                       unsigned editFlags) {
    return Add(std::make_unique<TExtInfo>(ext, programPath, fileType, description, editFlags));
}

int TRegExtension::Add(std::unique_ptr<TExtInfo> info) {
    if (!info) {
        return -1;
    }
    Exts.push_back(std::move(info));
    return Count() - 1;
}

void TRegExtension::Clear() {
    Exts.clear();
}

TExtInfo* TRegExtension::GetExt(int index) {
    return index >= 0 && index < Count() ? Exts[static_cast<std::size_t>(index)].get() : nullptr;
}

bool TRegExtension::WriteValue(const std::string& key, const std::string& name,
                               const std::string& value) {
    try {
        if (!Registry->OpenKey(key, true)) {
            return false;
        }
        Registry->WriteString(name, value);
        Registry->CloseKey();
        return true;
    } catch (const ERegistryException&) {
        Registry->CloseKey();
        LastErrorCode = GetLastError();
        ReportException("Problem in TRegExtension::WriteValue()");
        return false;
    }
}

bool TRegExtension::WriteBinary(const std::string& key, const std::string& name, const void* buffer,
                                int size) {
    Registry->Access = KEY_WRITE;
    try {
        if (!Registry->OpenKey(key, true)) {
            return false;
        }
        Registry->WriteBinaryData(name, buffer, size);
        Registry->CloseKey();
        return true;
    } catch (const ERegistryException&) {
        Registry->CloseKey();
        LastErrorCode = GetLastError();
        ReportException("Problem in TRegExtension::WriteBinary()");
        return false;
    }
}

std::string TRegExtension::ReadValue(const std::string& key, const std::string& name) {
    if (!Registry->OpenKey(key, false)) {
        return {};
    }
    std::string value;
    try {
        value = Registry->ReadString(name);
    } catch (const ERegistryException&) {
    }
    Registry->CloseKey();
    return value;
}

bool TRegExtension::ReadBinary(const std::string& key, const std::string& name, void* buffer,
                               int size) {
    if (!Registry->OpenKey(key, false)) {
        return false;
    }
    bool read = true;
    try {
        Registry->ReadBinaryData(name, buffer, size);
    } catch (const ERegistryException&) {
        read = false;
    }
    Registry->CloseKey();
    return read;
}

void TRegExtension::GetSubkeys(const std::string& key, std::vector<std::string>& names) {
    names.clear();
    if (Registry->OpenKey(key, false)) {
        names = Registry->GetKeyNames();
        Registry->CloseKey();
    }
}

bool TRegExtension::DeleteKey(const std::string& key) {
    if (!Registry->KeyExists(key)) {
        return false;
    }
    return Registry->DeleteKey(key);
}

bool TRegExtension::CreateExtension(TExtInfo* info) {
    if (info == nullptr || info->Ext.empty() || info->ProgramPath.empty() ||
        info->FileType.empty()) {
        return false;
    }
    return withRoot(*Registry, HKEY_CLASSES_ROOT, KEY_WRITE, [&] {
        const std::string type = "\\" + info->FileType;
        if (!WriteValue("\\" + info->Ext, "", info->FileType) ||
            !WriteValue(type, "", info->Description)) {
            return false;
        }
        const unsigned flags = info->EditFlags;
        const unsigned char bytes[4] = {static_cast<unsigned char>(flags & 0xFF),
                                        static_cast<unsigned char>((flags >> 8) & 0xFF),
                                        static_cast<unsigned char>((flags >> 16) & 0xFF),
                                        static_cast<unsigned char>((flags >> 24) & 0xFF)};
        Registry->Access = KEY_WRITE;
        if (!WriteBinary(type, "EditFlags", bytes, 4) ||
            !WriteValue(type + "\\DefaultIcon", "", info->Icon)) {
            return false;
        }
        if (info->Commands.GetCount() == 0 && info->Commands.AutoOpen) {
            info->Commands.Add("open", "&Open", "\"%1\"");
        }
        WriteValue(type + "\\shell", "", info->Commands.DefaultVerb);
        for (const auto& command : info->Commands.Items) {
            const std::string verb = type + "\\shell\\" + command->Verb;
            if (WriteValue(verb, "", command->MenuCaption)) {
                WriteValue(verb + "\\command", "",
                           "\"" + info->ProgramPath + "\" " + command->Params);
            }
        }
        return true;
    });
}

bool TRegExtension::CreateExtensionLocal(TExtInfo* info) {
    return withRoot(*Registry, HKEY_CURRENT_USER, KEY_WRITE, [&] {
        return WriteValue(std::string(FileExts) + "\\" + info->Ext, "Progid", info->FileType);
    });
}

bool TRegExtension::Register(unsigned mode) {
    bool result = false;
    for (const auto& info : Exts) {
        if (mode & 1) {
            result = CreateExtension(info.get());
            if (!result) {
                break;
            }
            result = CreateExtensionLocal(info.get());
            if (!result) {
                break;
            }
        }
    }
    SHChangeNotifyAssocChanged();
    RegExtsStale = true;
    return result;
}

bool TRegExtension::Backup(const std::string& key, unsigned mode) {
    if (!(mode & 1)) {
        return false;
    }
    try {
        TRegistry target(KEY_WRITE);
        // Class part: what each extension points at in HKCR, kept under HKLM.
        target.SetRootKey(HKEY_LOCAL_MACHINE);
        target.OpenKey(key, true);
        target.CloseKey();
        withRoot(*Registry, HKEY_CLASSES_ROOT, KEY_READ, [&] {
            for (const auto& info : Exts) {
                if (Registry->OpenKey("\\" + info->Ext, false)) {
                    std::string value;
                    try {
                        value = Registry->ReadString("");
                    } catch (const ERegistryException&) {
                    }
                    Registry->CloseKey();
                    if (target.OpenKey(key + info->Ext, true)) {
                        target.WriteString("", value);
                        target.CloseKey();
                    }
                }
            }
            return 0;
        });
        // Per-user part: the FileExts choice, kept under HKCU.
        target.SetRootKey(HKEY_CURRENT_USER);
        target.OpenKey(key, true);
        target.CloseKey();
        withRoot(*Registry, HKEY_CURRENT_USER, KEY_READ, [&] {
            for (const auto& info : Exts) {
                if (Registry->OpenKey(std::string(FileExts) + "\\" + info->Ext, false)) {
                    if (Registry->ValueExists("Progid")) {
                        const std::string progid = Registry->ReadString("Progid");
                        if (target.OpenKey(key + info->Ext, true)) {
                            target.WriteString("Progid", progid);
                            target.CloseKey();
                        }
                    }
                    Registry->CloseKey();
                }
            }
            return 0;
        });
    } catch (const ERegistryException& error) {
        LastErrorCode = GetLastError();
        ReportException("%s", error.what());
    }
    return false;
}

bool TRegExtension::Restore(const std::string& key, unsigned mode) {
    if (!(mode & 1)) {
        return false;
    }
    try {
        TRegistry backup(KEY_READ);
        backup.SetRootKey(HKEY_LOCAL_MACHINE);
        withRoot(*Registry, HKEY_CLASSES_ROOT, KEY_WRITE, [&] {
            for (const auto& info : Exts) {
                std::string value = info->Ext.substr(1) + "file";
                if (backup.OpenKey(key + info->Ext, false)) {
                    try {
                        value = backup.ReadString("");
                    } catch (const ERegistryException&) {
                    }
                    backup.CloseKey();
                }
                WriteValue("\\" + info->Ext, "", value);
            }
            return 0;
        });
        backup.SetRootKey(HKEY_CURRENT_USER);
        withRoot(*Registry, HKEY_CURRENT_USER, KEY_WRITE | KEY_QUERY_VALUE, [&] {
            for (const auto& info : Exts) {
                const std::string choice = std::string(FileExts) + "\\" + info->Ext;
                bool saved = false;
                std::string progid;
                if (backup.OpenKey(key + info->Ext, false)) {
                    if (backup.ValueExists("Progid")) {
                        progid = backup.ReadString("Progid");
                        saved = true;
                    }
                    backup.CloseKey();
                }
                if (saved) {
                    WriteValue(choice, "Progid", progid);
                } else if (Registry->OpenKey(choice, true)) {
                    Registry->DeleteValue("Progid");
                    Registry->CloseKey();
                }
            }
            return 0;
        });
    } catch (const ERegistryException& error) {
        LastErrorCode = GetLastError();
        ReportException("%s", error.what());
    }
    return false;
}

bool TRegExtension::IsRegistered(const std::string& ext) {
    return withRoot(*Registry, HKEY_CLASSES_ROOT, KEY_ENUMERATE_SUB_KEYS,
                    [&] { return Registry->KeyExists("\\" + withDot(ext)); });
}

bool TRegExtension::IsRegistered(const std::string& ext, const std::string& programPath) {
    const std::string e = !ext.empty() && ext[0] == '.' ? ext.substr(1) : ext;
    const std::string designClass = "Image_Viewer_1.0." + e + ".File";
    const std::string launcherClass = std::string(launcher_exe_name) + upper(e) + ".File";
    auto commandOf = [&](const std::string& type) -> std::pair<bool, std::string> {
        if (!Registry->KeyExists("\\" + type) ||
            !Registry->KeyExists("\\" + type + "\\shell\\open\\command")) {
            return {false, {}};
        }
        return {true, ReadValue("\\" + type + "\\shell\\open\\command", "")};
    };
    auto programIn = [](const std::string& command) {
        // The program: the text between the opening quote and the next one.
        if (command.size() < 2 || command[0] != '"') {
            return std::string();
        }
        return command.substr(1, command.find('"', 1) - 1);
    };
    std::string chosenClass;
    const bool classOk = withRoot(*Registry, HKEY_CLASSES_ROOT, 0x2001F, [&] {
        if (!Registry->KeyExists("\\." + e)) {
            return false;
        }
        const auto [designExists, designCommand] = commandOf(designClass);
        if (designExists && designCommand.size() >= programPath.size() + 1 &&
            designCommand.compare(1, programPath.size(), programPath) == 0) {
            chosenClass = designClass;
            return true;
        }
        const auto [launcherExists, launcherCommand] = commandOf(launcherClass);
        const std::string program = programIn(launcherCommand);
        const std::string base = program.substr(program.rfind('/') + 1);
        if (launcherExists && base == launcher_exe_name) {
            chosenClass = launcherClass;
            return true;
        }
        return false;
    });
    if (!classOk) {
        return false;
    }
    return withRoot(*Registry, HKEY_CURRENT_USER, KEY_READ, [&] {
        return ReadValue(std::string(FileExts) + "\\." + e, "Progid") == chosenClass;
    });
}

std::unique_ptr<TExtInfo> TRegExtension::GetExtInfo(const std::string& ext) {
    const std::string dotted = withDot(ext);
    if (!IsRegistered(dotted)) {
        return nullptr;
    }
    return withRoot(*Registry, HKEY_CLASSES_ROOT, 0x2001F, [&]() -> std::unique_ptr<TExtInfo> {
        const std::string type = ReadValue("\\" + dotted, "");
        if (type.empty()) {
            return nullptr;
        }
        unsigned char flags[4] = {0, 0, 0, 0};
        ReadBinary("\\" + type, "EditFlags", flags, 4);
        const unsigned editFlags =
            flags[0] | (flags[1] << 8) | (flags[2] << 16) | (static_cast<unsigned>(flags[3]) << 24);
        auto info = std::make_unique<TExtInfo>(
            dotted, ReadValue("\\" + type + "\\shell\\open\\command", ""), type,
            ReadValue("\\" + type, ""), editFlags);
        info->Icon = ReadValue("\\" + type + "\\DefaultIcon", "");
        info->Commands.DefaultVerb = ReadValue("\\" + type + "\\shell", "");
        std::vector<std::string> verbs;
        GetSubkeys("\\" + type + "\\shell", verbs);
        for (const std::string& verb : verbs) {
            const std::string key = "\\" + type + "\\shell\\" + verb;
            info->Commands.Add(verb, ReadValue(key, ""), ReadValue(key + "\\command", ""));
        }
        return info;
    });
}

bool TRegExtension::Unregister(const std::string& ext) {
    const std::string dotted = withDot(ext);
    bool result = false;
    if (IsRegistered(dotted)) {
        result = withRoot(*Registry, HKEY_CLASSES_ROOT, KEY_ALL_ACCESS, [&] {
            const std::string type = ReadValue("\\" + dotted, "");
            bool deleted = DeleteKey("\\" + dotted);
            if (!type.empty()) {
                deleted = DeleteKey("\\" + type);
            }
            return deleted;
        });
    }
    SHChangeNotifyAssocChanged();
    RegExtsStale = true;
    return result;
}

void TRegExtension::UpdateRegExts(bool update) {
    if (!update) {
        return;
    }
    RegExts.clear();
    withRoot(*Registry, HKEY_CLASSES_ROOT, KEY_ENUMERATE_SUB_KEYS, [&] {
        if (Registry->OpenKey("\\", false)) {
            for (const std::string& name : Registry->GetKeyNames()) {
                if (name.size() > 1 && name[0] == '.') {
                    RegExts.push_back(name);
                }
            }
        }
        return 0;
    });
    std::sort(RegExts.begin(), RegExts.end());
    RegExtsStale = false;
}

const std::vector<std::string>& TRegExtension::GetRegExts() {
    UpdateRegExts(RegExtsStale);
    return RegExts;
}

void TRegExtension::AssocChanged() {
    RegExtsStale = true;
    if (OnAssocChange) {
        OnAssocChange(this);
    }
}

void TRegExtension::SetMonitor(bool value) {
    if (value == monitor_) {
        return;
    }
    monitor_ = value;
    if (value) {
        StartWatching();
    } else {
        StopWatching();
    }
}

void TRegExtension::StartWatching() {
    StopWatching();
    watch_ = AddAssocListener([this] { AssocChanged(); });
}

void TRegExtension::StopWatching() {
    if (watch_ != 0) {
        RemoveAssocListener(watch_);
        watch_ = 0;
    }
}

} // namespace FileExtension
