; A server program for a PIC14 core, as the server's own firmware build would
; assemble it: a start vector, a main loop and the version routine, whose
; two version literals (movlw 0x24, movlw 0x0F: V2.0.15a) stand 7 and 4
; words before the routine's fixed instruction sequence.
        list    p=16f877
        __config 0x3F39

        org     0x0100
start   clrf    0x03
        goto    main
        nop
        nop
        retlw   0x41

        org     0x0200
main    movlw   0x7F
        movwf   0x20
loop    decfsz  0x20, 1
        goto    loop
        call    version
        goto    main

        org     0x0400
version movlw   0x24
        movwf   0x22
        nop
        movlw   0x0F
        movwf   0x23
        nop
        nop
        xorlw   0x0a
        btfss   0x23, 0x0
        btfss   0x03, 0x2
        retlw   0x06
        movlw   0xe0
        andwf   0x22, 0x0
        btfss   0x23, 0x1
        btfss   0x03, 0x2
        retlw   0x06
        movlw   0x22
        movwf   0x04
        bsf     0x03, 0x6
        movf    0x00, 0x0
        movwf   0x0f
        incf    0x04, 0x1
        movf    0x00, 0x0
        movwf   0x0d
        bsf     0x03, 0x5
        bsf     0x0c, 0x7
        bsf     0x0c, 0x0
        nop
        nop
        bcf     0x03, 0x5
        incf    0x04, 0x1
        movf    0x00, 0x0
        xorwf   0x0e, 0x0
        andlw   0x3f
        btfss   0x03, 0x2
        bsf     0x04, 0x7
        incf    0x04, 0x1
        movf    0x00, 0x0
        xorwf   0x0c, 0x0
        btfss   0x03, 0x2
        bsf     0x04, 0x7
        incf    0x0d, 0x1
        btfss   0x0d, 0x1
        btfsc   0x0d, 0x0
        return
        end
