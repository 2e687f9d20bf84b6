// The registry model of file type associations: extension keys, file type classes with their
// verbs, the per-user choice, and backups of what they replace.
#pragma once

#include "platform/RegistryClasses.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace FileExtension {

// One shell verb. A Params of exactly "%1" becomes "\"%1\""; Params without "%1" get
// " \"%1\"" appended: every command passes the file.
class TExtCommand {
public:
    TExtCommand(const std::string& verb, const std::string& menuCaption, const std::string& params);
    std::string Verb;
    std::string MenuCaption;
    std::string Params;
};

class TExtCommands {
public:
    int Add(std::unique_ptr<TExtCommand> command);
    int Add(const std::string& verb, const std::string& menuCaption);
    int Add(const std::string& verb, const std::string& menuCaption, const std::string& params);
    void Clear();
    TExtCommand* GetCommand(int index);
    int GetCount() const { return static_cast<int>(Items.size()); }

    std::string DefaultVerb;
    std::vector<std::unique_ptr<TExtCommand>> Items;
    bool AutoOpen = true;
};

class TExtInfo {
public:
    TExtInfo(const std::string& ext, const std::string& programPath, const std::string& fileType,
             const std::string& description, unsigned editFlags);
    void SetExt(const std::string& ext);
    void SetPath(const std::string& programPath);

    std::string Ext;
    std::string ProgramPath;
    std::string FileType;
    std::string Description;
    std::string Icon;
    unsigned EditFlags = 0;
    TExtCommands Commands;
};

// "\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts": the per-user choices.
extern const char* const FileExts;

class TRegExtension {
public:
    TRegExtension();
    ~TRegExtension();

    int Add(const std::string& ext, const std::string& programPath);
    int Add(const std::string& ext, const std::string& programPath, const std::string& fileType);
    int Add(const std::string& ext, const std::string& programPath, const std::string& fileType,
            const std::string& description);
    int Add(const std::string& ext, const std::string& programPath, const std::string& fileType,
            const std::string& description, unsigned editFlags);
    int Add(std::unique_ptr<TExtInfo> info);
    void Clear();
    TExtInfo* GetExt(int index);
    int Count() const { return static_cast<int>(Exts.size()); }

    bool CreateExtension(TExtInfo* info);
    bool CreateExtensionLocal(TExtInfo* info);
    bool Register(unsigned mode);
    bool Backup(const std::string& key, unsigned mode);
    bool Restore(const std::string& key, unsigned mode);
    bool IsRegistered(const std::string& ext);
    // Whether ext opens with this program: through the design's own class
    // ("Image_Viewer_1.0." + e + ".File", command on programPath), or through the class the
    // options dialog writes (launcher_exe_name + E + ".File", command on the launcher).
    bool IsRegistered(const std::string& ext, const std::string& programPath);
    std::unique_ptr<TExtInfo> GetExtInfo(const std::string& ext);
    bool Unregister(const std::string& ext);
    bool DeleteKey(const std::string& key);
    void GetSubkeys(const std::string& key, std::vector<std::string>& names);
    std::string ReadValue(const std::string& key, const std::string& name);
    bool ReadBinary(const std::string& key, const std::string& name, void* buffer, int size);
    bool WriteValue(const std::string& key, const std::string& name, const std::string& value);
    bool WriteBinary(const std::string& key, const std::string& name, const void* buffer, int size);
    const std::vector<std::string>& GetRegExts();
    void UpdateRegExts(bool update);
    void AssocChanged();

    void SetMonitor(bool value);
    bool Monitor() const { return monitor_; }
    std::function<void(TRegExtension*)> OnAssocChange;

    std::unique_ptr<TRegistry> Registry;
    std::vector<std::unique_ptr<TExtInfo>> Exts;
    std::vector<std::string> RegExts;
    bool RegExtsStale = true;
    bool IsNT = true;

private:
    void StartWatching();
    void StopWatching();
    int watch_ = 0;
    bool monitor_ = false;
};

} // namespace FileExtension

// Tells every listener that file type associations changed (the association-changed
// notification): the listeners of this process at once, other processes through a stamp file
// they watch.
void SHChangeNotifyAssocChanged();
// Calls listener on every association-changed notification until RemoveAssocListener(id).
int AddAssocListener(std::function<void()> listener);
void RemoveAssocListener(int id);
