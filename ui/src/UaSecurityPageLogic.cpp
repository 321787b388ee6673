#include "ui/UaSecurityPageLogic.h"

#include <algorithm>

namespace uapage {

namespace {

constexpr std::size_t kMinPassword = 8;
constexpr std::size_t kMaxPassword = 256;
constexpr std::size_t kMaxName = 64;

std::string Date(std::time_t when) {
    std::tm parts{};
    if (gmtime_r(&when, &parts) == nullptr) return "?";
    char text[16];
    if (std::strftime(text, sizeof text, "%Y-%m-%d", &parts) == 0) return "?";
    return text;
}

bool BySubject(const CertificateRow& a, const CertificateRow& b) {
    if (a.subject != b.subject) return a.subject < b.subject;
    return a.thumbprint < b.thumbprint;
}

CertificateRow RowOf(const ua::CertificateInfo& info, bool trusted) {
    CertificateRow row;
    row.trusted = trusted;
    row.state = trusted ? "Trusted" : "Rejected";
    row.subject = info.subject;
    row.applicationUri = info.applicationUri.empty() ? "(none)" : info.applicationUri;
    row.thumbprint = info.thumbprint;
    return row;
}

// An address only this machine reaches: then every endpoint is for it alone.
bool LoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

bool InRange(int selected, std::size_t size) { return selected >= 0 && static_cast<std::size_t>(selected) < size; }

}  // namespace

std::vector<EndpointRow> EndpointRows(const ua::UaServerSettings& settings, const std::string& hostName) {
    std::vector<EndpointRow> rows;
    const bool loopback = LoopbackAddress(settings.listenAddress);
    for (const ua::EndpointSummary& summary : ua::OfferedEndpoints(settings, hostName))
        rows.push_back({summary.policy, summary.mode, summary.userTokens,
                        summary.loopbackOnly || loopback ? "this machine only" : "network"});
    return rows;
}

std::string NoEndpointsText(const ua::UaServerSettings& settings) {
    if (settings.port == 0) return "None: the endpoint is off (port 0).";
    return "None: no endpoint is offered with these choices.";
}

std::vector<std::string> LockoutHints(const ua::UaServerSettings& settings, std::optional<std::size_t> userCount) {
    std::vector<std::string> hints;
    if (settings.port == 0) return hints;
    // Every endpoint asks for a user when anonymous sessions are off: with an
    // empty list nobody at all can sign in, not even a viewer.
    if (!settings.anonymous && userCount && *userCount == 0)
        hints.push_back("No client can open a session: anonymous sessions are off and there are no users. "
                        "Add a user or allow anonymous sessions.");
    return hints;
}

std::string ValidityText(std::time_t notBefore, std::time_t notAfter, std::time_t now) {
    std::string text = Date(notBefore) + " to " + Date(notAfter);
    if (now > notAfter) text += " (expired)";
    else if (now < notBefore) text += " (not valid yet)";
    return text;
}

OwnCertificateText DescribeOwn(const std::optional<ua::CertificateInfo>& own, std::time_t now) {
    OwnCertificateText text;
    if (!own) {
        text.subject = "Not made yet \u2014 made at the endpoint's first start.";
        return text;
    }
    text.present = true;
    text.thumbprint = own->thumbprint;
    text.subject = own->subject;
    text.validity = ValidityText(own->notBefore, own->notAfter, now);
    return text;
}

std::vector<CertificateRow> CertificateRows(const std::vector<ua::CertificateInfo>& rejected,
                                            const std::vector<ua::CertificateInfo>& trusted) {
    std::vector<CertificateRow> waiting, accepted;
    for (const ua::CertificateInfo& info : rejected) waiting.push_back(RowOf(info, false));
    for (const ua::CertificateInfo& info : trusted) accepted.push_back(RowOf(info, true));
    std::sort(waiting.begin(), waiting.end(), BySubject);
    std::sort(accepted.begin(), accepted.end(), BySubject);
    waiting.insert(waiting.end(), accepted.begin(), accepted.end());
    return waiting;
}

CertificateButtons ButtonsFor(const std::vector<CertificateRow>& rows, int selected) {
    if (!InRange(selected, rows.size())) return {};
    const bool trusted = rows[static_cast<std::size_t>(selected)].trusted;
    return {!trusted, trusted};
}

std::vector<UserRow> UserRows(const std::vector<ua::UserEntry>& users) {
    std::vector<UserRow> rows;
    for (const ua::UserEntry& user : users) rows.push_back({user.name, ua::RoleName(user.role)});
    std::sort(rows.begin(), rows.end(), [](const UserRow& a, const UserRow& b) { return a.name < b.name; });
    return rows;
}

UserButtons ButtonsFor(const std::vector<UserRow>& rows, int selected) {
    const bool any = InRange(selected, rows.size());
    return {any, any};
}

std::vector<std::pair<ua::Role, std::string>> RoleChoices() {
    return {{ua::Role::Viewer, "viewer \u2014 browses, reads and subscribes"},
            {ua::Role::Operator, "operator \u2014 also writes the writable tags"},
            {ua::Role::Engineer, "engineer \u2014 also changes the configuration"}};
}

std::string RemoveQuestion(const std::string& name) {
    return "Remove the OPC UA user \"" + name + "\"? Clients can no longer sign in with this name.";
}

std::string NewPasswordProblem(const std::string& password, const std::string& repeated) {
    if (password.size() < kMinPassword)
        return "The password needs at least " + std::to_string(kMinPassword) + " characters.";
    if (password.size() > kMaxPassword)
        return "The password may have at most " + std::to_string(kMaxPassword) + " characters.";
    if (password != repeated) return "The two passwords differ.";
    std::string why;
    if (!ua::UserStore::ValidPassword(password, why)) return why.empty() ? "The password cannot be used." : why;
    return {};
}

std::string NewUserProblem(const NewUserForm& form, const std::vector<UserRow>& existing) {
    if (form.name.empty()) return "Give the user's name.";
    if (!ua::UserStore::ValidName(form.name))
        return "A user name has 1 to " + std::to_string(kMaxName) + " characters, without blanks.";
    for (const UserRow& row : existing)
        if (row.name == form.name) return "There is a user \"" + form.name + "\" already.";
    return NewPasswordProblem(form.password, form.repeated);
}

}  // namespace uapage
