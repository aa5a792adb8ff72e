#include "common/win/security.h"

#include <aclapi.h>
#include <sddl.h>

#include <fmt/format.h>

#include <array>
#include <initializer_list>
#include <string>

#include "common/utf.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

// Rights that let an account change an object or what a folder holds: write data or add a
// file, append or add a folder, extended attributes, delete a child, attributes, delete, the
// DACL and the owner, and the generic rights that include any of them.
constexpr ACCESS_MASK kChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

struct Sid {
    std::array<BYTE, SECURITY_MAX_SID_SIZE> bytes{};
    // The Windows calls take a PSID even where they only read it.
    PSID get() const { return const_cast<BYTE*>(bytes.data()); }
    bool matches(PSID other) const { return IsValidSid(get()) && EqualSid(get(), other); }
};

Sid well_known(WELL_KNOWN_SID_TYPE type) {
    Sid s;
    DWORD size = static_cast<DWORD>(s.bytes.size());
    CreateWellKnownSid(type, nullptr, s.get(), &size);
    return s;
}

// This process's user: SYSTEM for the service, the user who started a console agent.
const Sid& process_user() {
    static const Sid user = [] {
        Sid s;
        UniqueHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out()))
            return s;
        std::array<BYTE, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE> buf{};
        DWORD size = 0;
        if (GetTokenInformation(token.get(), TokenUser, buf.data(), static_cast<DWORD>(buf.size()),
                                &size)) {
            const auto* tu = reinterpret_cast<const TOKEN_USER*>(buf.data());
            CopySid(static_cast<DWORD>(s.bytes.size()), s.get(), tu->User.Sid);
        }
        return s;
    }();
    return user;
}

bool is_one_of(PSID sid, std::initializer_list<const Sid*> sids) {
    for (const Sid* s : sids) {
        if (s->matches(sid))
            return true;
    }
    return false;
}

// The accounts that may own the agent's objects.
bool is_agent_owner(PSID sid) {
    static const Sid system = well_known(WinLocalSystemSid);
    static const Sid admins = well_known(WinBuiltinAdministratorsSid);
    return is_one_of(sid, {&system, &admins, &process_user()});
}

// The accounts an entry may give rights to. "The owner" and "whoever creates a child" name no
// account of their own: the owner is checked, and only the agent's side can create anything.
bool is_agent_side(PSID sid) {
    static const Sid owner_rights = well_known(WinCreatorOwnerRightsSid);
    static const Sid creator_owner = well_known(WinCreatorOwnerSid);
    return is_agent_owner(sid) || is_one_of(sid, {&owner_rights, &creator_owner});
}

std::string sid_text(PSID sid) {
    LocalMemory<wchar_t> text;
    if (!ConvertSidToStringSidW(sid, text.out()))
        return "an unknown account";
    return to_utf8_lossy(text.get());
}

// One entry of a DACL as far as the judgement needs it.
struct Grant {
    enum Kind { none, account, unknown } kind = none;
    ACCESS_MASK mask = 0;  // for an account
    PSID sid = nullptr;    // for an account
};

Grant grant_of(const ACE_HEADER* ace) {
    switch (ace->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            return {};  // denials only narrow what the grants give
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both start with the header, the mask and the SID.
            const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
            return {Grant::account, allowed->Mask, const_cast<DWORD*>(&allowed->SidStart)};
        }
        default:
            // Object entries are not made for files, and no other kind belongs in a DACL. What
            // such an entry grants, and to whom, is not read: its layout is not an allowed
            // entry's, so whatever lies where that keeps its mask proves nothing.
            return {Grant::unknown};
    }
}

// The DACL of a descriptor; nullptr when it has none.
PACL dacl_of(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present)
        return nullptr;
    return dacl;
}

}  // namespace

Result<SecurityDescriptor> parse_sddl(std::wstring_view sddl) {
    const std::wstring text(sddl);
    SecurityDescriptor sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              sd.out(), nullptr)) {
        return Error("ConvertStringSecurityDescriptorToSecurityDescriptorW failed: " +
                     last_error_hresult_text());
    }
    return sd;
}

Result<SecurityDescriptor> read_descriptor(HANDLE object) {
    SecurityDescriptor sd;
    if (const DWORD rc = GetSecurityInfo(object, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, nullptr, nullptr, sd.out());
        rc != ERROR_SUCCESS) {
        return os_error(rc);
    }
    return sd;
}

std::optional<std::string> why_not_own(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr)
        return "it has no owner";
    if (!is_agent_owner(owner))
        return fmt::format("it is owned by {}", sid_text(owner));
    const PACL dacl = dacl_of(descriptor);
    if (dacl == nullptr)
        return "anyone may change it (no DACL)";
    // Inherit-only entries count too: they give their rights on what is made in the folder.
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            return "its DACL cannot be read";
        const Grant g = grant_of(ace);
        if (g.kind == Grant::unknown)
            return fmt::format("an entry of kind {} in its DACL may let another account change it",
                               ace->AceType);
        if (g.kind == Grant::account && (g.mask & kChangeRights) && !is_agent_side(g.sid))
            return fmt::format("{} may change it", sid_text(g.sid));
    }
    return std::nullopt;
}

bool others_have_access(PSECURITY_DESCRIPTOR descriptor) {
    const PACL dacl = dacl_of(descriptor);
    if (dacl == nullptr)
        return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            return true;
        const Grant g = grant_of(ace);
        if (g.kind == Grant::unknown ||
            (g.kind == Grant::account && g.mask != 0 && !is_agent_side(g.sid))) {
            return true;
        }
    }
    return false;
}

Result<void> give_descriptor(HANDLE object, PSECURITY_DESCRIPTOR descriptor) {
    // Not SetSecurityInfo: on a folder it would also rewrite the descriptors of what the folder
    // holds. The DACL's protection comes with the descriptor ("P").
    if (!SetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 descriptor)) {
        return last_os_error();
    }
    return {};
}

}  // namespace qel::win
