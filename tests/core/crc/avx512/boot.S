// Boot sector for the emulated check: loads the check program from the disk to 0x10000,
// goes from real mode straight to 64-bit mode with the first 1 GiB identity-mapped, turns
// on SSE, AVX and AVX-512 state, and calls the program. Output and the end of the run go
// through the emulator's ports (see check.cpp).
        .code16
        .section .text
        .global _start
_start:
        cli
        xor     %ax, %ax
        mov     %ax, %ds
        mov     %ax, %es
        mov     %ax, %ss
        mov     $0x7C00, %sp

        // Four extended reads of 64 sectors: 128 KiB at 0x10000.
        mov     $4, %cx
1:      mov     $dap, %si
        mov     $0x42, %ah
        int     $0x13
        jc      fail
        addw    $64, dap_lba
        addw    $0x800, dap_segment
        loop    1b

        in      $0x92, %al              // the fast A20 gate
        or      $2, %al
        out     %al, $0x92

        // Page tables at 0x1000 (PML4), 0x2000 (PDPT), 0x3000 (PD: 512 pages of 2 MiB).
        mov     $0x1000, %di
        mov     $3072, %ecx
        xor     %eax, %eax
        rep stosl
        movl    $0x2003, 0x1000
        movl    $0x3003, 0x2000
        mov     $0x3000, %di
        mov     $0x83, %eax             // present, writable, 2 MiB page
        mov     $512, %cx
2:      movl    %eax, (%di)
        add     $0x200000, %eax
        add     $8, %di
        loop    2b

        mov     $0x40620, %eax          // PAE, OSFXSR, OSXMMEXCPT, OSXSAVE
        mov     %eax, %cr4
        mov     $0x1000, %eax
        mov     %eax, %cr3
        mov     $0xC0000080, %ecx       // EFER.LME
        rdmsr
        or      $0x100, %eax
        wrmsr
        mov     %cr0, %eax
        and     $~0x4, %eax             // no FPU emulation
        or      $0x80000003, %eax       // paging, monitor coprocessor, protection
        mov     %eax, %cr0
        lgdt    gdt_pointer
        ljmp    $0x08, $long_mode

fail:   mov     $'!', %al
        out     %al, $0xE9
        hlt

        .code64
long_mode:
        mov     $0x10, %ax
        mov     %ax, %ds
        mov     %ax, %es
        mov     %ax, %ss
        xor     %ecx, %ecx              // XCR0: x87, SSE, AVX, opmask, zmm upper halves, zmm16-31
        mov     $0xE7, %eax
        xor     %edx, %edx
        xsetbv
        mov     $0x90000, %rsp
        mov     $0x10000, %rax
        call    *%rax
        hlt

        .p2align 3
gdt:    .quad   0
        .quad   0x00AF9A000000FFFF      // 64-bit code
        .quad   0x00CF92000000FFFF      // data
gdt_pointer:
        .word   gdt_pointer - gdt - 1
        .long   gdt

dap:    .byte   16, 0
        .word   64                      // sectors
        .word   0                       // offset
dap_segment:
        .word   0x1000
dap_lba:
        .quad   1

        .org    510
        .byte   0x55, 0xAA
