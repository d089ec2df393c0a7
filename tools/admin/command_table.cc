// command_table.cc: every command of ambercrypt-admin, the one place that
// says what a command is called, what it takes and what it does. --help and
// each command's --help are printed from it (command.cc), main dispatches
// through it, and a manual page can be made from it: a row is the command's
// name, the synopsis after the name, its help (plain sentences, no markup)
// and the options it takes.
#include "tools/admin/command.h"

namespace ambercrypt::admin {

const Command kCommands[] = {
    {"install", "[--force] [--password-file FILE]",
     "Creates an installation: asks for a new administrator password (twice at a terminal; at least 6 characters\n"
     "with an upper-case letter, a lower-case letter and a digit, at most 255), stores its digest, and lets the\n"
     "library create the installation number. An existing installation is kept unless --force is given: that\n"
     "destroys the administrator password, the installation number and every application's settings (they are\n"
     "encrypted with key material built from the installation number and could never be read again).",
     "--force --password-file", Install},
    {"restrict", "APP MODE [--mask HEX] [--password-file FILE]",
     "Sets APP's restriction mode: none (0), minimal (1), limited (2), standard (3), full (4), custom (5).\n"
     "custom needs --mask, the forbidden function bits in hex (0x1DDC). Mode full is the one in which the secret\n"
     "key, the policies and the signing certificate may be set.",
     "--mask --password-file", Restrict},
    {"secret-key", "APP aes256|3des [--key-file FILE] [--password-file FILE]",
     "Sets APP's BIR secret key (6 to 32 characters, an upper-case and a lower-case letter and a digit) and cipher.\n"
     "The key is read after the password: from --key-file, a prompt, or the next line of standard input.",
     "--key-file --password-file", SecretKey},
    {"verify-policy", "APP --max-fmr N --max-failures N --lock-minutes N [--flag 0|1] --method 30|40 [--key-file FILE]",
     "Sets APP's verify policy: the highest FMR it may ask (-1 or more), the failures that lock it (0: never),\n"
     "for how many minutes, the policy flag, and how challenge answers are protected: 30 signed with the end-user\n"
     "certificate, 40 an HMAC keyed with a key text (read after the password, as the secret key is).",
     "--max-fmr --max-failures --lock-minutes --flag --method --key-file --password-file", VerifyPolicy},
    {"identify-policy", "APP --max-fmr N --max-failures N --lock-minutes N [--flag 0|1] --method 30|40 [--key-file FILE]",
     "Sets APP's identify policy; the options are those of verify-policy.",
     "--max-fmr --max-failures --lock-minutes --flag --method --key-file --password-file", IdentifyPolicy},
    {"signing-cert", "APP CERT [--password-file FILE]",
     "Registers the certificate that signs APP's BIRs. CERT is a PEM or DER file, or the SHA-1 thumbprint of a\n"
     "certificate in \"ROOT\"; the certificate must be in \"ROOT\" (with its key, to sign).",
     "--password-file", SigningCertificate},
    {"end-user-cert", "APP CERT",
     "Registers APP's end-user certificate (the one that signs method-30 challenge answers); CERT as for\n"
     "signing-cert. Needs no password, but APP must already have settings.",
     "", EndUserCertificate},
    {"delete", "APP",
     "Removes every setting of APP, its lockout state included.",
     "", Delete},
    {"verify-bsp", "UUID FILE-or-DIGEST",
     "Checks that the module registered for the BSP UUID ({xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}) has the digest\n"
     "of FILE, or the given Base64 SHA-1 digest text (28 characters).",
     "", VerifyBsp},
    {"sign-bir", "APP IN OUT [--raw]",
     "Signs the biometric data of the BIR file IN with APP's signing certificate and writes the signed BIR file\n"
     "OUT. With --raw, IN is the bare biometric data (the header is left zero). OUT is made with mode 0600, or\n"
     "written over a regular file of yours that no other account may read or write; a symbolic link is not followed.",
     "--raw", SignBir},
    {"verify-bir", "APP FILE",
     "Checks the signed BIR file FILE against APP's signing certificate; exit status 0 only when it verifies.",
     "", VerifyBir},
    {"show", "APP [--reveal [--password-file FILE]] [--json]",
     "Everything stored for APP, decrypted and labelled. Secrets show as present or absent; --reveal shows them\n"
     "after the administrator password has been checked.",
     "--reveal --password-file --json", Show},
    {"list", "[--json]",
     "The applications with settings. The store keeps only each name's AppKey (a hash); names come from the\n"
     "tool's own index, and an AppKey the tool never saw named is shown as unnamed.",
     "--json", List},
    {"cert", "import CERT [--key KEYFILE] [--name NAME] | cert list [--json] | cert remove THUMBPRINT",
     "The Linux \"ROOT\" store ($AMBERCRYPT_ROOT/certs/ROOT): import a certificate (0644) and its private key\n"
     "(0600; refused when it does not match the certificate), list the certificates, remove one by thumbprint.\n"
     "On Windows use the system's tools (certutil -addstore Root).",
     "--key --name --json", RootStore},
    {"codes", "",
     "Every result code of the library and its meaning.",
     "", Codes},
};
const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

const char *const kValueOptions[] = {"--password-file", "--key-file", "--mask",   "--max-fmr", "--max-failures",
                                     "--lock-minutes",  "--flag",     "--method", "--key",     "--name"};
const size_t kValueOptionCount = sizeof kValueOptions / sizeof kValueOptions[0];

const char kHelpFooter[] =
    "Passwords and key texts are never taken from the command line: --password-file / --key-file (first\n"
    "line), else a prompt without echo at a terminal, else one line each of standard input, the password\n"
    "first. Every failure prints the library's code and its meaning; the exit status is then non-zero.\n";

}  // namespace ambercrypt::admin
