// admin_password.h: the password rules (also applied to secret keys and
// challenge texts) and the check of the installation's administrator password
// against the SHA-1 digest stored as KoSettingInfo1.
#ifndef AMBERCRYPT_ADMIN_ADMIN_PASSWORD_H_
#define AMBERCRYPT_ADMIN_ADMIN_PASSWORD_H_

namespace ambercrypt {

// CheckPasswordRules: 1 when text has at least 6 characters and an upper-case
// letter, a lower-case letter and a digit before its first multibyte lead byte
// (in the process's current locale), else 0.
int CheckPasswordRules(const char *text);

// VerifyAdminPassword: 1 when SHA-1(password) equals the stored 20-byte digest.
// Opens (and so creates) the base key for all access.
int VerifyAdminPassword(const char *password);

// True when text is empty or longer than 255 characters: the limit of every
// name, password and key text an administration call takes.
bool IsEmptyOrTooLong(const char *text);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_ADMIN_ADMIN_PASSWORD_H_
