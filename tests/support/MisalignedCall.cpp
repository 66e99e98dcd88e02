// The call on a misaligned stack (see MisalignedCall.h), in 32-bit x86
// assembly: nothing a compiler would keep aligned for us.
#include "support/MisalignedCall.h"

#if defined(__i386__)
#if defined(_WIN32)
#define VELKO_SYMBOL(name) "_" name  // cdecl names carry a leading underscore on 32-bit Windows
#else
#define VELKO_SYMBOL(name) name
#endif
#define VELKO_THUNK_NAME VELKO_SYMBOL("VelkoCallMisaligned")
#define VELKO_OFFSET_NAME VELKO_SYMBOL("VelkoEntryStackOffset")
// cdecl: 8(%ebp) the function, 12(%ebp) the words, 16(%ebp) their count.
asm(".text\n"
    ".globl " VELKO_THUNK_NAME "\n" VELKO_THUNK_NAME ":\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  pushl %ebx\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "  leal 0(,%ecx,4), %eax\n"
    "  movl %esp, %edx\n"
    "  subl %eax, %edx\n"
    "  andl $-16, %edx\n"
    "  subl $12, %edx\n"  // 4 modulo 16 at the call: the callee's entry is 4 bytes off
    "  movl %edx, %esp\n"
    "  xorl %edi, %edi\n"
    "1:\n"
    "  cmpl %ecx, %edi\n"
    "  jae 2f\n"
    "  movl (%esi,%edi,4), %eax\n"
    "  movl %eax, (%esp,%edi,4)\n"
    "  incl %edi\n"
    "  jmp 1b\n"
    "2:\n"
    "  call *8(%ebp)\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %ebx\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n"
    ".globl " VELKO_OFFSET_NAME "\n" VELKO_OFFSET_NAME ":\n"
    "  leal 4(%esp), %eax\n"  // past the return address: where the 16-byte rule applies
    "  andl $15, %eax\n"
    "  ret\n");
#endif
