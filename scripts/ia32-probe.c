// SPDX-License-Identifier: Apache-2.0
/* Answers whether this machine runs 32-bit x86 user code natively: exit 0 and "yes: ..."
 * if it does, exit 1 and "no: ..." if it does not. A forked child far-returns into the
 * 32-bit user code segment (0x23) and runs one byte whose meaning differs there (0x40 is
 * "inc eax" in 32-bit code, a REX prefix in 64-bit code), then jumps back to 0x33. Where the
 * kernel runs no 32-bit code the segment is absent and the child dies of a signal. Build it
 * static and non-PIE, so the code and the return label lie below 4 GiB. */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

unsigned probe32(void);
unsigned long probe_saved_rsp;

/* The upper halves of the registers are not promised across a trip through 32-bit code,
 * so the stack pointer comes back from memory. Nothing in the 32-bit part touches the stack. */
__asm__(".text\n"
        ".globl probe32\n"
        "probe32:\n"
        "  movq %rsp, probe_saved_rsp(%rip)\n"
        "  xorl %eax, %eax\n"
        "  pushq $0x23\n"
        "  pushq $1f\n"
        "  lretq\n"
        ".code32\n"
        "1:\n"
        "  .byte 0x40\n"
        "  ljmp $0x33, $2f\n"
        ".code64\n"
        "2:\n"
        "  movq probe_saved_rsp(%rip), %rsp\n"
        "  movl %eax, %eax\n"
        "  ret\n");

int main(void) {
  pid_t pid = fork();
  if (pid < 0) {
    puts("no: the probe could not fork");
    return 1;
  }
  if (pid == 0) {
    alarm(1); /* a machine that hangs in the segment switch is a "no" too */
    _exit(probe32() == 1 ? 0 : 3);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) {
    puts("no: the probe lost its child");
    return 1;
  }
  if (WIFSIGNALED(status)) {
    printf("no: entering the 32-bit code segment raised %s\n", strsignal(WTERMSIG(status)));
    return 1;
  }
  if (WEXITSTATUS(status) == 3) {
    puts("no: the 32-bit code segment did not run the byte as 32-bit code");
    return 1;
  }
  if (WEXITSTATUS(status) != 0) {
    puts("no: the probe failed");
    return 1;
  }
  puts("yes: 32-bit x86 code runs natively");
  return 0;
}
