#pragma once
// The OPC UA page's security controls, apart from their widgets: the rows of its
// lists (the endpoints offered, the client certificates, the users), the
// texts of the server certificate, which buttons a selection enables, the
// hints about choices that lock every client out, and the checks of the
// "Add user" form. The page's widgets only show what these return.

#include "ua/CertificateStore.h"
#include "ua/UaServer.h"
#include "ua/UserStore.h"

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace uapage {

// ---- Endpoints offered -----------------------------------------------------

struct EndpointRow {
    std::string policy;      // "Basic256Sha256", "None" ...
    std::string mode;        // "SignAndEncrypt", "Sign", "None"
    std::string userTokens;  // "anonymous, user name"
    std::string reach;       // "this machine only" or "network"
};
// The rows of the "Endpoints" list for the settings as they stand on the page.
std::vector<EndpointRow> EndpointRows(const ua::UaServerSettings& settings, const std::string& hostName);
// The line shown instead of rows when the list is empty.
std::string NoEndpointsText(const ua::UaServerSettings& settings);

// Choices with which no client can open a session, one sentence each; empty
// when the settings let someone in. `userCount` is the number of users in
// the list (nullopt when the list could not be read).
std::vector<std::string> LockoutHints(const ua::UaServerSettings& settings, std::optional<std::size_t> userCount);

// ---- The server's own certificate ---------------------------------------------

struct OwnCertificateText {
    bool present = false;
    std::string thumbprint;  // 40 hex digits; empty when there is none
    std::string subject;     // the subject, or the "not made yet" line
    std::string validity;    // "2024-05-01 to 2029-05-01", with the state when outside it
};
OwnCertificateText DescribeOwn(const std::optional<ua::CertificateInfo>& own, std::time_t now);
// "YYYY-MM-DD to YYYY-MM-DD" in UTC, followed by " (expired)" or
// " (not valid yet)" when `now` lies outside.
std::string ValidityText(std::time_t notBefore, std::time_t notAfter, std::time_t now);

// ---- Client certificates -------------------------------------------------------

struct CertificateRow {
    bool trusted = false;
    std::string state;           // "Rejected" or "Trusted"
    std::string subject;
    std::string applicationUri;  // "(none)" when the certificate carries none
    std::string thumbprint;
};
// Rejected certificates first (they are the ones waiting for a decision),
// then the trusted ones; each group by subject.
std::vector<CertificateRow> CertificateRows(const std::vector<ua::CertificateInfo>& rejected,
                                            const std::vector<ua::CertificateInfo>& trusted);

struct CertificateButtons {
    bool trust = false;   // the selected row is a rejected certificate
    bool reject = false;  // the selected row is a trusted one
};
// `selected` is the selected row's index, -1 (or out of range) for none.
CertificateButtons ButtonsFor(const std::vector<CertificateRow>& rows, int selected);

// ---- Users -------------------------------------------------------------------------

struct UserRow {
    std::string name;
    std::string role;  // "viewer", "operator", "engineer"
};
std::vector<UserRow> UserRows(const std::vector<ua::UserEntry>& users);

struct UserButtons {
    bool remove = false;
    bool password = false;
};
UserButtons ButtonsFor(const std::vector<UserRow>& rows, int selected);

// The roles in the order the "Add user" form offers them, with what each may do.
std::vector<std::pair<ua::Role, std::string>> RoleChoices();

// The question asked before a user is removed.
std::string RemoveQuestion(const std::string& name);

// The "Add user" and "Password" forms: the first thing wrong with what is
// typed, empty when it can be stored. The form's OK button is enabled only
// then, and the text is shown beside it.
struct NewUserForm {
    std::string name;
    std::string password;
    std::string repeated;
};
std::string NewUserProblem(const NewUserForm& form, const std::vector<UserRow>& existing);
std::string NewPasswordProblem(const std::string& password, const std::string& repeated);

}  // namespace uapage
