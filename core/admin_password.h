// admin_password.h: the administrator gate's rules, shared by every feature
// that administers and by the tools: the length limit of every text an
// administration call takes, the password rules (also applied to secret keys
// and challenge texts), and the check of the installation's administrator
// password against the SHA-1 digest stored as KoSettingInfo1. Stateless; any
// thread.
#ifndef AMBERCRYPT_CORE_ADMIN_PASSWORD_H_
#define AMBERCRYPT_CORE_ADMIN_PASSWORD_H_

namespace ambercrypt {

// CheckPasswordRules: true when text has at least 6 characters and an
// upper-case letter, a lower-case letter and a digit before its first
// multibyte lead byte (in the process's current locale).
bool CheckPasswordRules(const char *text);

// VerifyAdminPassword: true when SHA-1(password) equals the stored 20-byte
// digest. Opens (and so creates) the base key for all access.
bool VerifyAdminPassword(const char *password);

// True when text is empty or longer than 255 characters: the limit of every
// name, password and key text an administration call takes.
bool IsEmptyOrTooLong(const char *text);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CORE_ADMIN_PASSWORD_H_
