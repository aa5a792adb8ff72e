#include "common/win/security.h"

#include <aclapi.h>
#include <sddl.h>

#include <fmt/format.h>

#include <array>
#include <string>

#include "common/utf.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

// Rights that let an account change an object, or what a folder holds.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                      WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

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

bool is_agent_side(PSID sid) {
    static const Sid system = well_known(WinLocalSystemSid);
    static const Sid admins = well_known(WinBuiltinAdministratorsSid);
    // Entries for "the owner" and for whoever creates a child name no account of their own.
    static const Sid owner_rights = well_known(WinCreatorOwnerRightsSid);
    static const Sid creator_owner = well_known(WinCreatorOwnerSid);
    for (const Sid* ours : {&system, &admins, &owner_rights, &creator_owner, &process_user()}) {
        if (ours->matches(sid))
            return true;
    }
    return false;
}

std::string sid_text(PSID sid) {
    LocalMemory<wchar_t> text;
    if (!ConvertSidToStringSidW(sid, text.out()))
        return "an unknown account";
    return to_utf8_lossy(text.get());
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

std::optional<std::string> why_not_own(HANDLE object) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    SecurityDescriptor sd;
    if (const DWORD rc = GetSecurityInfo(object, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, sd.out());
        rc != ERROR_SUCCESS) {
        return "its descriptor cannot be read: " + os_error_text(rc);
    }
    if (owner == nullptr || !is_agent_side(owner))
        return fmt::format("it is owned by {}", owner ? sid_text(owner) : "nobody");
    if (dacl == nullptr)
        return "anyone may change it (no DACL)";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            return "its DACL cannot be read";
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            continue;  // applies only to what is created below it
        switch (ace->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                // Both start with the header, the mask and the SID.
                auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
                PSID sid = &allowed->SidStart;
                if ((allowed->Mask & kChangeRights) && !is_agent_side(sid))
                    return fmt::format("{} may change it", sid_text(sid));
                break;
            }
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                // Not made for files; whom it names is not looked into.
                if (reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace)->Mask & kChangeRights)
                    return "an object entry of its DACL may let another account change it";
                break;
            default:
                break;  // denials narrow access; audit entries do not belong here
        }
    }
    return std::nullopt;
}

Result<void> give_descriptor(HANDLE object, PSECURITY_DESCRIPTOR descriptor) {
    // Not SetSecurityInfo: on a folder it would also rewrite the descriptors of what the folder
    // holds, and a planted hard link would carry that change to a file outside it. The DACL's
    // protection comes with the descriptor ("P").
    if (!SetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 descriptor)) {
        return last_os_error();
    }
    return {};
}

}  // namespace qel::win
