/* The read and work functions of the frame's own methods, for the method
 * table in exports.cpp (see frame.h for what a read and a work function
 * do). */
#ifndef QUENSC_FRAME_METHODS_H
#define QUENSC_FRAME_METHODS_H

#include "frame/frame.h"

int QuenScSessionOpenRead(QuenScCall *call);   /* int protocol version (argument 0) */
int QuenScSessionOpenWork(QuenScCall *call);
int QuenScSessionCloseRead(QuenScCall *call);  /* session id (argument 0) */
int QuenScSessionCloseWork(QuenScCall *call);
int QuenScEchoRead(QuenScCall *call);          /* text */
int QuenScEchoWork(QuenScCall *call);
int QuenScCredentialAt1Read(QuenScCall *call); /* credential */
int QuenScAuthenticateManagerWork(QuenScCall *call);
int QuenScSslCertsRetrieveWork(QuenScCall *call); /* no arguments */

#endif
