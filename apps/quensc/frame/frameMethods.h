/* The read and work functions of the frame's own methods, for the method
 * table in exports.cpp (see frame.h for what a read and a work function
 * do). */
#ifndef QUENSC_FRAME_METHODS_H
#define QUENSC_FRAME_METHODS_H

#include "frame/frame.h"

/* The argument records (see QuenScMethodDef::argsSize). */
struct QuenScSessionOpenArgs {
    int version;             /* argument 0: the protocol version */
};
struct QuenScSessionCloseArgs {
    const char *id;          /* argument 0: the session id */
};
struct QuenScEchoArgs {
    const char *text;        /* argument 1 */
};
struct QuenScAuthenticateManagerArgs {
    QuenScCredential cred;   /* argument 1 */
};

int QuenScSessionOpenRead(QuenScCall *call);   /* int protocol version (argument 0) */
/* QUENSC_OK with the new session's id and the server information;
 * QUENSC_UNSUPPORTED_PROTOCOL with the supported version for any other
 * version; QUENSC_INTERNAL when the session cannot be stored. */
int QuenScSessionOpenWork(QuenScCall *call);
int QuenScSessionCloseRead(QuenScCall *call);  /* session id (argument 0) */
/* QUENSC_OK (also for an id no session has), or QUENSC_INVALID_SESSION when
 * the session's rows cannot be deleted. */
int QuenScSessionCloseWork(QuenScCall *call);
int QuenScEchoRead(QuenScCall *call);          /* text */
/* QUENSC_OK with the text. This function can't fail. */
int QuenScEchoWork(QuenScCall *call);
int QuenScCredentialAt1Read(QuenScCall *call); /* credential */
/* Clears both roles, then grants each one the credential proves: through
 * the directory groups when use_ldap is set, else by the configured
 * password hashes. QUENSC_OK when at least one role was granted;
 * QUENSC_INVALID_PARAMETER for the wrong credential type;
 * QUENSC_AUTHENTICATION_FAILED; or the directory's code when the user
 * cannot be authenticated there. */
int QuenScAuthenticateManagerWork(QuenScCall *call);
/* QUENSC_OK with the certificate and its chain as one text ("" without a
 * certificate). This function can't fail. */
int QuenScSslCertsRetrieveWork(QuenScCall *call); /* no arguments */

#endif
