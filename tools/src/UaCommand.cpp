// vok ua: the administration of the OPC UA endpoint: its users, the
// certificates it trusts and its own, and the endpoints it offers.
#include "tools/Commands.h"

#include "config/OPCS_Registry.h"
#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/PrivateFile.h"
#include "tools/ToolOutput.h"
#include "ua/CertificateStore.h"
#include "ua/UaServer.h"
#include "ua/UserStore.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr int kUsageError = 2;
constexpr const char* kSystemRegistry = "/var/lib/vok/registry";

int Fail(const std::string& what) {
    std::fprintf(stderr, "vok ua: %s\n", ValidUtf8(what).c_str());
    return 1;
}

int Usage(const std::string& what) {
    std::fprintf(stderr, "vok ua: %s\n", ValidUtf8(what).c_str());
    return kUsageError;
}

// Where the command works: the folders given, or those beside the settings.
struct Places {
    std::string pki;
    std::string users;
    bool json = false;
};

// Run as root for the service (--system), what is written goes to the
// owner of the folder above, one level after the other from the top, so that
// folders made on the way belong to the service's user too.
void GiveTreeToOwner(const std::string& top) {
    std::error_code ec;
    if (!std::filesystem::exists(top, ec)) return;
    if (!platform::GiveToOwnerOfFolder(top))
        std::fprintf(stderr, "vok ua: cannot give %s to the owner of its folder\n", ValidUtf8(top).c_str());
    if (!std::filesystem::is_directory(top, ec)) return;
    for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!platform::GiveToOwnerOfFolder(it->path().string()))
            std::fprintf(stderr, "vok ua: cannot give %s to the owner of its folder\n",
                         ValidUtf8(it->path().string()).c_str());
    }
}

std::string DateText(std::time_t when) {
    char text[32];
    const std::tm* utc = std::gmtime(&when);
    if (!utc || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc) == 0) return "?";
    return text;
}

// --- users -------------------------------------------------------------

// The password: typed twice at a terminal, or one line of a pipe.
std::optional<std::string> NewPassword(const std::string& name, std::string& error) {
    const std::optional<std::string> first = platform::ReadSecretLine("Password for " + name + ": ");
    if (!first) {
        error = "no password was given (type it at the terminal, or give it as one line on standard input)";
        return std::nullopt;
    }
    if (!ua::UserStore::ValidPassword(*first, error)) return std::nullopt;
    if (platform::StandardInputIsTerminal()) {
        const std::optional<std::string> again = platform::ReadSecretLine("The same again: ");
        if (!again || *again != *first) {
            error = "the two passwords differ; nothing was changed";
            return std::nullopt;
        }
    }
    return first;
}

bool Known(const ua::UserStore& store, const std::string& name, std::string& error) {
    std::vector<ua::UserEntry> users;
    if (!store.List(users, error)) return false;
    for (const ua::UserEntry& user : users)
        if (user.name == name) return true;
    error.clear();
    return false;
}

int UsersList(const Places& places) {
    ua::UserStore store(places.users);
    std::vector<ua::UserEntry> users;
    std::string error;
    if (!store.List(users, error)) return Fail(error);
    if (places.json) {
        json out = json::array();
        for (const ua::UserEntry& user : users) out.push_back({{"name", user.name}, {"role", ua::RoleName(user.role)}});
        std::cout << JsonText(out, 2) << "\n";
    } else {
        for (const ua::UserEntry& user : users) std::cout << ValidUtf8(user.name) << '\t' << ua::RoleName(user.role) << '\n';
    }
    return 0;
}

int UsersAdd(const Places& places, const std::string& name, ua::Role role) {
    if (!ua::UserStore::ValidName(name))
        return Usage("a user name is 1 to 64 characters without blanks or control characters");
    ua::UserStore store(places.users);
    std::string error;
    // Refused before the password is asked for.
    if (Known(store, name, error)) return Fail("the user " + name + " exists already");
    if (!error.empty()) return Fail(error);
    const std::optional<std::string> password = NewPassword(name, error);
    if (!password) return Fail(error);
    if (!store.Add(name, role, *password, error)) return Fail(error);
    GiveTreeToOwner(places.users);
    std::cout << "added " << ValidUtf8(name) << " (" << ua::RoleName(role) << ")\n";
    return 0;
}

int UsersPasswd(const Places& places, const std::string& name) {
    ua::UserStore store(places.users);
    std::string error;
    if (!Known(store, name, error)) return Fail(error.empty() ? "there is no user " + name : error);
    const std::optional<std::string> password = NewPassword(name, error);
    if (!password) return Fail(error);
    if (!store.SetPassword(name, *password, error)) return Fail(error);
    GiveTreeToOwner(places.users);
    std::cout << "changed the password of " << ValidUtf8(name) << "\n";
    return 0;
}

int UsersRole(const Places& places, const std::string& name, ua::Role role) {
    ua::UserStore store(places.users);
    std::string error;
    if (!store.SetRole(name, role, error)) return Fail(error);
    GiveTreeToOwner(places.users);
    std::cout << ValidUtf8(name) << " is " << ua::RoleName(role) << " now\n";
    return 0;
}

int UsersRemove(const Places& places, const std::string& name) {
    ua::UserStore store(places.users);
    std::string error;
    if (!store.Remove(name, error)) return Fail(error);
    GiveTreeToOwner(places.users);
    std::cout << "removed " << ValidUtf8(name) << "\n";
    return 0;
}

// --- certificates --------------------------------------------------------

json CertificateJson(const ua::CertificateInfo& info) {
    return {{"subject", info.subject},
            {"application_uri", info.applicationUri},
            {"issuer", info.issuer},
            {"thumbprint", info.thumbprint},
            {"not_before", DateText(info.notBefore)},
            {"not_after", DateText(info.notAfter)},
            {"file", info.file}};
}

void PrintCertificate(const ua::CertificateInfo& info, const char* indent) {
    const std::time_t now = std::time(nullptr);
    const char* state = now > info.notAfter ? "  (expired)" : now < info.notBefore ? "  (not yet valid)" : "";
    std::cout << indent << ValidUtf8(info.subject) << '\n'
              << indent << "  uri         " << ValidUtf8(info.applicationUri.empty() ? "-" : info.applicationUri) << '\n'
              << indent << "  thumbprint  " << info.thumbprint << '\n'
              << indent << "  valid       " << DateText(info.notBefore) << " to " << DateText(info.notAfter) << state
              << '\n'
              << indent << "  file        " << ValidUtf8(info.file) << '\n';
}

int CertsList(const Places& places) {
    ua::CertificateStore store(places.pki);
    const struct {
        const char* name;
        ua::CertificateStore::List which;
    } groups[] = {{"trusted", ua::CertificateStore::List::Trusted},
                  {"rejected", ua::CertificateStore::List::Rejected},
                  {"issuers", ua::CertificateStore::List::Issuers}};
    json out = json::object();
    for (const auto& group : groups) {
        const std::vector<ua::CertificateInfo> certificates = store.Certificates(group.which);
        if (places.json) {
            json list = json::array();
            for (const auto& info : certificates) list.push_back(CertificateJson(info));
            out[group.name] = std::move(list);
            continue;
        }
        std::cout << group.name << " (" << certificates.size() << "):\n";
        for (const auto& info : certificates) PrintCertificate(info, "  ");
    }
    if (places.json) std::cout << JsonText(out, 2) << "\n";
    return 0;
}

int CertsTrust(const Places& places, const std::string& what) {
    ua::CertificateStore store(places.pki);
    std::string error;
    if (!store.Trust(what, error)) return Fail(error);
    GiveTreeToOwner(places.pki);
    std::cout << "trusted " << ValidUtf8(what) << "\n";
    return 0;
}

int CertsReject(const Places& places, const std::string& thumbprint) {
    ua::CertificateStore store(places.pki);
    std::string error;
    if (!store.Reject(thumbprint, error)) return Fail(error);
    GiveTreeToOwner(places.pki);
    std::cout << "no longer trusted: " << ValidUtf8(thumbprint) << "\n";
    return 0;
}

int CertsShow(const Places& places) {
    ua::CertificateStore store(places.pki);
    std::optional<ua::CertificateInfo> own = store.OwnInfo();
    bool made = false;
    if (!own) {
        // Made now, so that it can be handed to the clients before the server first starts.
        const std::string host = platform::HostName();
        std::string error;
        if (!store.LoadOrCreateOwn("urn:" + host + ":VOKExplorer", {host, "localhost"}, error))
            return Fail("cannot make the server's certificate: " + error);
        GiveTreeToOwner(places.pki);
        own = store.OwnInfo();
        if (!own) return Fail("the server's certificate was made but cannot be read back from " + places.pki);
        made = true;
    }
    if (places.json) {
        json out = CertificateJson(*own);
        out["made_now"] = made;
        std::cout << JsonText(out, 2) << "\n";
        return 0;
    }
    if (made)
        std::cout << "There was no certificate yet; a new one was made. The server uses it when it starts;\n"
                     "give this file to the clients that are to trust the server.\n";
    PrintCertificate(*own, "");
    return 0;
}

// --- endpoints -----------------------------------------------------------

int Endpoints(const Places& places) {
    OPCS_Registry settings;
    settings.Load();
    ua::UaServerSettings server;
    server.port = static_cast<std::uint16_t>(settings.GetUaPort());
    server.listenAddress = settings.GetUaListenAddress();
    server.noneOnLoopback = settings.GetUaAllowNone();
    server.anonymous = settings.GetUaAllowAnonymous();
    server.signOnly = settings.GetUaOfferSign();
    server.pkiFolder = places.pki;
    server.usersFile = places.users;
    const std::vector<ua::EndpointSummary> endpoints = ua::OfferedEndpoints(server, platform::HostName());
    if (places.json) {
        json out = json::array();
        for (const auto& e : endpoints)
            out.push_back({{"url", e.url},
                           {"security_policy", e.policy},
                           {"security_mode", e.mode},
                           {"user_tokens", e.userTokens},
                           {"this_machine_only", e.loopbackOnly}});
        std::cout << JsonText(out, 2) << "\n";
        return 0;
    }
    if (endpoints.empty()) {
        std::cout << "The OPC UA endpoint is off (port 0).\n";
        return 0;
    }
    for (const auto& e : endpoints)
        std::cout << ValidUtf8(e.url) << '\t' << e.policy << '\t' << e.mode << '\t' << e.userTokens
                  << (e.loopbackOnly ? "\t(this machine only)" : "") << '\n';
    return 0;
}

}  // namespace

int RunUaCommand(int argc, char** argv) {
    CLI::App app{
        "Administers the OPC UA endpoint: its users, the client certificates it trusts, its own certificate\n"
        "and the endpoints it offers. The files live beside the settings (VOK_REGISTRY_DIR/../pki and\n"
        "VOK_REGISTRY_DIR/../ua-users). For the installed service, run as the vok user with\n"
        "VOK_REGISTRY_DIR=/var/lib/vok/registry, or as root with --system: files written as root are\n"
        "given to the owner of their folder.\n"
        "Passwords are typed twice at the terminal without being shown, or given as one line on\n"
        "standard input; never on the command line.",
        "vok ua"};
    app.require_subcommand(1);

    std::string pki, users;
    bool system = false, asJson = false;
    app.add_option("--pki", pki, "the certificate folder (default: beside the settings)");
    app.add_option("--users", users, "the user list (default: beside the settings)");
    app.add_flag("--system", system, std::string("the installed service's files: ") + kSystemRegistry +
                                          ", /var/lib/vok/pki, /var/lib/vok/ua-users");
    app.add_flag("--json", asJson, "print lists and the certificate as JSON");

    const std::vector<std::string> roles = {"viewer", "operator", "engineer"};
    CLI::App* usersCmd = app.add_subcommand("users", "list, add and change the users who sign in with a password");
    usersCmd->require_subcommand(1);
    CLI::App* usersList = usersCmd->add_subcommand("list", "the users and their roles");
    std::string name, roleText = "viewer", what;
    CLI::App* usersAdd = usersCmd->add_subcommand("add", "add a user; the password is asked for");
    usersAdd->add_option("NAME", name, "the user name")->required();
    usersAdd->add_option("--role", roleText, "viewer (read), operator (+ writes), engineer (+ configuration)")
        ->check(CLI::IsMember(roles));
    CLI::App* usersPasswd = usersCmd->add_subcommand("passwd", "give a user a new password");
    usersPasswd->add_option("NAME", name, "the user name")->required();
    CLI::App* usersRole = usersCmd->add_subcommand("role", "give a user another role");
    usersRole->add_option("NAME", name, "the user name")->required();
    usersRole->add_option("ROLE", roleText, "viewer, operator or engineer")->required()->check(CLI::IsMember(roles));
    CLI::App* usersRemove = usersCmd->add_subcommand("remove", "remove a user");
    usersRemove->add_option("NAME", name, "the user name")->required();

    CLI::App* certs = app.add_subcommand("certs", "the client certificates and the server's own");
    certs->require_subcommand(1);
    CLI::App* certsList = certs->add_subcommand("list", "the trusted, rejected and issuer certificates");
    CLI::App* certsTrust = certs->add_subcommand("trust", "trust a rejected certificate, or one from a file");
    certsTrust->add_option("WHAT", what, "a thumbprint (from 'certs list') or a certificate file (DER or PEM)")
        ->required();
    CLI::App* certsReject = certs->add_subcommand("reject", "stop trusting a certificate");
    certsReject->add_option("THUMBPRINT", what, "the thumbprint, from 'certs list'")->required();
    CLI::App* certsShow =
        certs->add_subcommand("show", "the server's certificate, made now when there is none yet");

    CLI::App* endpoints = app.add_subcommand("endpoints", "the endpoints the server offers with its settings");

    // The options of 'vok ua' may also follow the subcommands.
    for (CLI::App* sub : {usersCmd, usersList, usersAdd, usersPasswd, usersRole, usersRemove, certs, certsList,
                          certsTrust, certsReject, certsShow, endpoints})
        sub->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kUsageError;  // help asked for, or a usage error
    }

    if (system) SetEnvironmentVariableA("VOK_REGISTRY_DIR", kSystemRegistry);
    Places places;
    places.pki = !pki.empty() ? pki : ua::CertificateStore::DefaultFolder();
    places.users = !users.empty() ? users : ua::UserStore::DefaultFile();
    places.json = asJson;
    const ua::Role role = ua::ParseRole(roleText).value_or(ua::Role::Viewer);

    if (usersList->parsed()) return UsersList(places);
    if (usersAdd->parsed()) return UsersAdd(places, name, role);
    if (usersPasswd->parsed()) return UsersPasswd(places, name);
    if (usersRole->parsed()) return UsersRole(places, name, role);
    if (usersRemove->parsed()) return UsersRemove(places, name);
    if (certsList->parsed()) return CertsList(places);
    if (certsTrust->parsed()) return CertsTrust(places, what);
    if (certsReject->parsed()) return CertsReject(places, what);
    if (certsShow->parsed()) return CertsShow(places);
    if (endpoints->parsed()) return Endpoints(places);
    return Usage("nothing to do (try 'vok ua --help')");
}
