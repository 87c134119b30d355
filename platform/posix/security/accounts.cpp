// Account names and SIDs: the Unix users and groups of the user and group
// databases ("Unix User", "Unix Group") and the well-known SIDs with their
// Windows names. The databases are read with the reentrant calls, so lookups
// may run on any thread.
#include <grp.h>
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/posix/security/internal.h"
#include "platform/posix/system/ascii_case.h"

namespace kiln::platform::security {

namespace {

// Runs a getpwnam_r-style call with a buffer that grows while it is too small.
template <class Entry, class Call>
bool LookUpEntry(Entry* entry, std::string* storage, Call call) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024;
    for (;;) {
        storage->resize(size);
        Entry* result = nullptr;
        int rc = call(entry, storage->data(), storage->size(), &result);
        if (rc == 0) return result != nullptr;
        if (rc != ERANGE || size >= (1u << 24)) return false;
        size *= 2;
    }
}

// The user and group databases are files (or a directory service) that every
// lookup reads again; a stat asks for two names and a listing for two per
// entry, mostly the same few. Answers, unknown accounts included, are kept
// for caches::AccountLifetime() (5 seconds), so an account that is added or
// renamed shows within that time. Each cache is made once and never
// destroyed: a provider thread may still ask while the process ends.
template <class Key, class Value>
class LookupCache {
  public:
    // `fetched` receives when the answer was read from the database.
    template <class Fetch>
    std::optional<Value> Get(const Key& key, Fetch fetch,
                             std::chrono::steady_clock::time_point* fetched = nullptr) {
        const auto now = std::chrono::steady_clock::now();
        const auto lifetime = caches::AccountLifetime();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_entries.find(key);
            if (it != m_entries.end() && now - it->second.when < lifetime) {
                if (fetched) *fetched = it->second.when;
                return it->second.value;
            }
        }
        std::optional<Value> value = fetch();
        if (fetched) *fetched = now;
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_entries.size() >= kMaxEntries) m_entries.clear();
        m_entries[key] = Entry{value, now};
        return value;
    }

  private:
    static constexpr size_t kMaxEntries = 4096;
    struct Entry {
        std::optional<Value> value;
        std::chrono::steady_clock::time_point when;
    };
    std::mutex m_lock;
    std::unordered_map<Key, Entry> m_entries;
};

std::optional<std::string> FetchUserName(uid_t uid) {
    passwd entry;
    std::string storage;
    if (!LookUpEntry(&entry, &storage, [uid](passwd* e, char* b, size_t n, passwd** r) {
            return getpwuid_r(uid, e, b, n, r);
        }))
        return std::nullopt;
    return std::string(entry.pw_name);
}

std::optional<std::string> FetchGroupName(gid_t gid) {
    group entry;
    std::string storage;
    if (!LookUpEntry(&entry, &storage, [gid](group* e, char* b, size_t n, group** r) {
            return getgrgid_r(gid, e, b, n, r);
        }))
        return std::nullopt;
    return std::string(entry.gr_name);
}

std::optional<uid_t> FetchUid(const std::string& name) {
    passwd entry;
    std::string storage;
    if (!LookUpEntry(&entry, &storage, [&name](passwd* e, char* b, size_t n, passwd** r) {
            return getpwnam_r(name.c_str(), e, b, n, r);
        }))
        return std::nullopt;
    return entry.pw_uid;
}

std::optional<gid_t> FetchGid(const std::string& name) {
    group entry;
    std::string storage;
    if (!LookUpEntry(&entry, &storage, [&name](group* e, char* b, size_t n, group** r) {
            return getgrnam_r(name.c_str(), e, b, n, r);
        }))
        return std::nullopt;
    return entry.gr_gid;
}

std::vector<gid_t> FetchGroupsOfUser(uid_t uid) {
    passwd entry;
    std::string storage;
    if (!LookUpEntry(&entry, &storage, [uid](passwd* e, char* b, size_t n, passwd** r) {
            return getpwuid_r(uid, e, b, n, r);
        }))
        return {};
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return groups;
        }
        if (count <= static_cast<int>(groups.size())) return {entry.pw_gid};
        groups.resize(static_cast<size_t>(count));
    }
}

}  // namespace

std::optional<std::string> UserNameOf(uid_t uid, std::chrono::steady_clock::time_point* fetched) {
    static auto& cache = *new LookupCache<uid_t, std::string>;
    return cache.Get(
        uid, [uid] { return FetchUserName(uid); }, fetched);
}

std::optional<std::string> GroupNameOf(gid_t gid, std::chrono::steady_clock::time_point* fetched) {
    static auto& cache = *new LookupCache<gid_t, std::string>;
    return cache.Get(
        gid, [gid] { return FetchGroupName(gid); }, fetched);
}

std::optional<std::string> UserNameOf(uint32_t uid) {
    return UserNameOf(uid, nullptr);
}

std::optional<std::string> GroupNameOf(uint32_t gid) {
    return GroupNameOf(gid, nullptr);
}

std::optional<uid_t> UidOfName(const std::string& name) {
    static auto& cache = *new LookupCache<std::string, uid_t>;
    if (name.empty()) return std::nullopt;
    return cache.Get(name, [&name] { return FetchUid(name); });
}

std::optional<gid_t> GidOfName(const std::string& name) {
    static auto& cache = *new LookupCache<std::string, gid_t>;
    if (name.empty()) return std::nullopt;
    return cache.Get(name, [&name] { return FetchGid(name); });
}

std::vector<gid_t> GroupsOfUser(uid_t uid, std::chrono::steady_clock::time_point* fetched) {
    static auto& cache = *new LookupCache<uid_t, std::vector<gid_t>>;
    auto fetch = [uid] { return std::optional<std::vector<gid_t>>(FetchGroupsOfUser(uid)); };
    return cache.Get(uid, fetch, fetched).value_or(std::vector<gid_t>{});
}

}  // namespace kiln::platform::security

using namespace kiln::platform::security;

namespace {

struct WellKnownAccount {
    BYTE authority;
    BYTE count;
    DWORD subAuthorities[2];
    std::u16string_view name;
    std::u16string_view domain;
    SID_NAME_USE use;
};

const std::vector<std::pair<Bytes, const WellKnownAccount*>>& WellKnownAccounts() {
    static const WellKnownAccount table[] = {
        {1, 1, {0}, u"Everyone", u"", SidTypeWellKnownGroup},
        {3, 1, {0}, u"CREATOR OWNER", u"", SidTypeWellKnownGroup},
        {3, 1, {1}, u"CREATOR GROUP", u"", SidTypeWellKnownGroup},
        {5, 1, {1}, u"DIALUP", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {2}, u"NETWORK", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {3}, u"BATCH", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {4}, u"INTERACTIVE", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {6}, u"SERVICE", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {7}, u"ANONYMOUS LOGON", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {11}, u"Authenticated Users", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {18}, u"SYSTEM", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {19}, u"LOCAL SERVICE", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {20}, u"NETWORK SERVICE", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {5, 1, {32}, u"BUILTIN", u"BUILTIN", SidTypeDomain},
        {5, 2, {32, 544}, u"Administrators", u"BUILTIN", SidTypeAlias},
        {5, 2, {32, 545}, u"Users", u"BUILTIN", SidTypeAlias},
        {5, 2, {32, 546}, u"Guests", u"BUILTIN", SidTypeAlias},
        {22, 1, {1}, u"Unix User", u"Unix User", SidTypeDomain},
        {22, 1, {2}, u"Unix Group", u"Unix Group", SidTypeDomain},
    };
    static const auto* accounts = [] {
        auto* list = new std::vector<std::pair<Bytes, const WellKnownAccount*>>;
        for (const WellKnownAccount& account : table) {
            Bytes sid = account.count == 1
                            ? MakeSid(account.authority, {account.subAuthorities[0]})
                            : MakeSid(account.authority,
                                      {account.subAuthorities[0], account.subAuthorities[1]});
            list->emplace_back(std::move(sid), &account);
        }
        return list;
    }();
    return *accounts;
}

std::string Utf8(std::u16string_view text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

std::u16string Utf16(std::string_view text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool IsLocalSystem(LPCWSTR systemName) {
    if (!systemName || !*systemName) return true;
    std::u16string_view name(systemName);
    if (name.starts_with(u"\\\\")) name.remove_prefix(2);
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return false;
    return kiln::platform::SameIgnoringAsciiCase(name, Utf16(host));
}

struct Account {
    Bytes sid;
    std::u16string name;
    std::u16string domain;
    SID_NAME_USE use = SidTypeUnknown;
};

std::optional<Account> UnixUser(const std::string& name) {
    auto uid = UidOfName(name);
    if (!uid) return std::nullopt;
    return Account{UnixUserSid(*uid), Utf16(name), u"Unix User", SidTypeUser};
}

std::optional<Account> UnixGroup(const std::string& name) {
    auto gid = GidOfName(name);
    if (!gid) return std::nullopt;
    return Account{UnixGroupSid(*gid), Utf16(name), u"Unix Group", SidTypeGroup};
}

// A decimal id that no account has (files of deleted users, ids from other
// machines, what "chown 12345" sends) still names its Unix SID.
std::optional<Account> UnixId(const std::string& name, bool group) {
    if (name.empty() || name.size() > 10 ||
        name.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long long id = std::stoull(name);
    if (id >= 0xFFFFFFFFull) return std::nullopt;  // (uid_t)-1 names nobody
    if (group)
        return Account{UnixGroupSid(static_cast<gid_t>(id)), Utf16(name), u"Unix Group",
                       SidTypeGroup};
    return Account{UnixUserSid(static_cast<uid_t>(id)), Utf16(name), u"Unix User", SidTypeUser};
}

std::optional<Account> WellKnown(std::u16string_view domain, std::u16string_view name,
                                 bool domainGiven) {
    for (const auto& [sid, account] : WellKnownAccounts()) {
        if (account->authority == 22) continue;  // the Unix domains are matched by name below
        if (domainGiven && !kiln::platform::SameIgnoringAsciiCase(domain, account->domain))
            continue;
        if (kiln::platform::SameIgnoringAsciiCase(name, account->name))
            return Account{sid, std::u16string(account->name), std::u16string(account->domain),
                           account->use};
    }
    return std::nullopt;
}

std::optional<Account> AccountOfName(std::u16string_view full) {
    size_t slash = full.find(u'\\');
    bool domainGiven = slash != std::u16string_view::npos;
    std::u16string_view domain = domainGiven ? full.substr(0, slash) : std::u16string_view{};
    std::u16string_view name = domainGiven ? full.substr(slash + 1) : full;
    if (name.empty()) {
        // "DOMAIN\" names the domain itself.
        if (!domainGiven) return std::nullopt;
        name = domain;
    }
    std::string unixName = Utf8(name);
    if (!domainGiven || kiln::platform::SameIgnoringAsciiCase(domain, u"Unix User")) {
        if (auto user = UnixUser(unixName)) return user;
    }
    if (!domainGiven || kiln::platform::SameIgnoringAsciiCase(domain, u"Unix Group")) {
        if (auto group = UnixGroup(unixName)) return group;
    }
    if (!domainGiven || kiln::platform::SameIgnoringAsciiCase(domain, u"Unix User")) {
        if (auto user = UnixId(unixName, false)) return user;
    }
    if (domainGiven && kiln::platform::SameIgnoringAsciiCase(domain, u"Unix Group")) {
        if (auto group = UnixId(unixName, true)) return group;
    }
    for (const auto& [sid, account] : WellKnownAccounts()) {
        if (account->use != SidTypeDomain) continue;
        if (kiln::platform::SameIgnoringAsciiCase(name, account->name) &&
            (!domainGiven || kiln::platform::SameIgnoringAsciiCase(domain, account->domain)))
            return Account{sid, std::u16string(account->name), std::u16string(account->domain),
                           account->use};
    }
    return WellKnown(domain, name, domainGiven);
}

// The UTF-16 name of a Unix user or group, per thread in front of the shared
// caches: every stat and every listed entry asks for two names, nearly always
// of the same few accounts, and this answers them without a lock, a copy or a
// conversion. An entry expires when the shared cache's answer it was made
// from does, so the staleness bound stays kiln::platform::caches::AccountLifetime() (plus one
// tick of the coarse clock).
const std::u16string* UnixNameOf(uint32_t id, bool group) {
    struct Entry {
        uint32_t id = 0;
        bool group = false;
        bool used = false;
        bool known = false;
        std::chrono::steady_clock::time_point expires;
        std::u16string name;
    };
    thread_local Entry memo[16];
    Entry& entry = memo[(id * 2 + (group ? 1 : 0)) % 16];
    const auto now = kiln::platform::caches::CoarseNow();
    if (!entry.used || entry.id != id || entry.group != group || now >= entry.expires) {
        std::chrono::steady_clock::time_point fetched;
        auto text = group ? GroupNameOf(id, &fetched) : UserNameOf(id, &fetched);
        entry.id = id;
        entry.group = group;
        entry.used = true;
        entry.known = text.has_value();
        entry.expires = fetched + kiln::platform::caches::AccountLifetime();
        if (text) entry.name = Utf16(*text);
    }
    return entry.known ? &entry.name : nullptr;
}

// The names of a SID without the copy of the SID that an Account carries.
// The account name is given by pointer into storage of this thread that
// stays valid until its next lookup.
bool NamesOfSid(const void* sid, const std::u16string** name, std::u16string_view* domain,
                SID_NAME_USE* use) {
    if (auto uid = UidOfSid(sid)) {
        *name = UnixNameOf(*uid, false);
        *domain = u"Unix User";
        *use = SidTypeUser;
        return *name != nullptr;
    }
    if (auto gid = GidOfSid(sid)) {
        *name = UnixNameOf(*gid, true);
        *domain = u"Unix Group";
        *use = SidTypeGroup;
        return *name != nullptr;
    }
    for (const auto& [known, account] : WellKnownAccounts()) {
        if (!SameSid(known.data(), sid)) continue;
        thread_local std::u16string wellKnown;
        wellKnown.assign(account->name);
        *name = &wellKnown;
        *domain = account->domain;
        *use = account->use;
        return true;
    }
    return false;
}

// Whether a caller's buffer of count characters holds the text and its zero.
bool Fits(std::u16string_view text, LPWSTR buffer, LPDWORD count) {
    return buffer && *count >= text.size() + 1;
}

}  // namespace

BOOL LookupAccountNameW(LPCWSTR lpSystemName, LPCWSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                        PSID_NAME_USE peUse) {
    if (!lpAccountName || !cbSid || !cchReferencedDomainName || !peUse) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsLocalSystem(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    auto account = AccountOfName(lpAccountName);
    if (!account) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    bool domainFits = Fits(account->domain, ReferencedDomainName, cchReferencedDomainName);
    bool sidFits = Sid && *cbSid >= account->sid.size();
    if (!domainFits || !sidFits) {
        *cbSid = static_cast<DWORD>(account->sid.size());
        *cchReferencedDomainName = static_cast<DWORD>(account->domain.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(Sid, account->sid.data(), account->sid.size());
    std::memcpy(ReferencedDomainName, account->domain.c_str(),
                (account->domain.size() + 1) * sizeof(char16_t));
    *cbSid = static_cast<DWORD>(account->sid.size());
    *cchReferencedDomainName = static_cast<DWORD>(account->domain.size());
    *peUse = account->use;
    return TRUE;
}

BOOL LookupAccountSidW(LPCWSTR lpSystemName, PSID Sid, LPWSTR Name, LPDWORD cchName,
                       LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                       PSID_NAME_USE peUse) {
    if (!cchName || !cchReferencedDomainName || !peUse) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!SidHeaderValid(Sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    if (!IsLocalSystem(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    const std::u16string* found = nullptr;
    std::u16string_view domain;
    SID_NAME_USE use = SidTypeUnknown;
    if (!NamesOfSid(Sid, &found, &domain, &use)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const std::u16string& name = *found;
    bool nameFits = Fits(name, Name, cchName);
    bool domainFits = Fits(domain, ReferencedDomainName, cchReferencedDomainName);
    if (!nameFits || !domainFits) {
        *cchName = static_cast<DWORD>(name.size() + 1);
        *cchReferencedDomainName = static_cast<DWORD>(domain.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(Name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    std::memcpy(ReferencedDomainName, domain.data(), domain.size() * sizeof(char16_t));
    ReferencedDomainName[domain.size()] = u'\0';
    *cchName = static_cast<DWORD>(name.size());
    *cchReferencedDomainName = static_cast<DWORD>(domain.size());
    *peUse = use;
    return TRUE;
}
