// The editing panels of users, POP3 accounts and mailboxes, with their bound fields. Each
// builder makes its panel once per window (through TTreeControl's FormPanel).
#pragma once

class QWidget;

namespace Ovrin {

// What the password fields show instead of a stored password; a field that still holds it when
// saved means "unchanged".
inline constexpr const char* kPasswordPlaceholder = "************";

// The key of the user panel's password field.
inline constexpr const char* kAuthenticationKey = "/user/pop3-server/authentication";

// The fields of the POP3 account panel, in the panel's order: the attribute of the pop3-client
// element each one edits, its label, its name and whether it is masked. An account setting is
// one row here.
struct TPop3AccountField {
    const char* key;
    const char* label;
    const char* name;
    bool masked;
};
inline constexpr TPop3AccountField kPop3AccountFields[] = {
    {"@hostname", "POP3 server host name or IP address:", "edtPOP3HostName", false},
    {"@port", "POP3 server port:", "edtPOP3Port", false},
    {"@username", "User name:", "edtPOP3UserName", false},
    {"@password", "User password:", "edtPOP3Password", true},
};

// How the account logs in, chosen in cmbPOP3Auth: "" (USER and PASS), "plain", "xoauth2",
// "oauthbearer".
inline constexpr const char* kPop3AuthKey = "@auth";

// The OAuth settings of an account, below the choice: endpoints, scope and the client the
// provider registered. The refresh token itself has no field: "Authorize..." obtains it.
inline constexpr TPop3AccountField kOAuthFields[] = {
    {"@device-authorization-url", "Device authorization endpoint (https):", "edtOAuthDeviceURL", false},
    {"@token-url", "Token endpoint (https):", "edtOAuthTokenURL", false},
    {"@scope", "Scope:", "edtOAuthScope", false},
    {"@client-id", "Client id:", "edtOAuthClientId", false},
    {"@client-secret", "Client secret (when the provider gave one):", "edtOAuthClientSecret", true},
};
inline constexpr const char* kRefreshTokenKey = "@refresh-token";

// Providers whose endpoints and scope a choice fills in; any other is entered by hand.
struct TOAuthPreset {
    const char* name;
    const char* deviceUrl;
    const char* tokenUrl;
    const char* scope;
};
inline constexpr TOAuthPreset kOAuthPresets[] = {
    {"Google", "https://oauth2.googleapis.com/device/code", "https://oauth2.googleapis.com/token",
     "https://mail.google.com/"},
    {"Microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://outlook.office.com/POP.AccessAsUser.All offline_access"},
};

// The account's security, chosen in cmbPOP3Security; "" writes no attribute, so that the port
// decides (995: TLS, any other: none).
inline constexpr const char* kPop3SecurityKey = "@security";
// Whether collected mail stays on the server, and for how many days at most (none or 0: for
// good). Written only when they say more than that default.
inline constexpr const char* kPop3LeaveKey = "@leave-on-server";
inline constexpr const char* kPop3LeaveDaysKey = "@leave-on-server-days";

// pnlUserOptions: the parameters in kveUserOptions (rows added and deleted with the buttons
// below it) and the POP3 server password.
QWidget* BuildUserOptionsPanel(QWidget* holder);
QWidget* BuildPop3AccountsPanel(QWidget* holder);
QWidget* BuildPop3AccountPanel(QWidget* holder);
QWidget* BuildMailboxesPanel(QWidget* holder);

}  // namespace Ovrin
