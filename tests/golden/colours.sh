#!/bin/sh
# The screen of the golden pictures (64x16): every colour form and attribute,
# wide and combining characters, line drawing, a line whose background is
# erased in colour to its end, text that XML must escape; then it waits.
# With "no-bright-bg" the bright backgrounds are left out: tmux before 3.2
# prints them without naming them.
printf '\033[1mbold\033[0m \033[2mdim\033[0m \033[3mitalic\033[0m \033[5mblink\033[0m \033[7mreverse\033[0m \033[8mhidden\033[0m \033[9mstrike\033[0m \033[53mover\033[0m\n'
printf '\033[4msingle\033[0m \033[4:2mdouble\033[0m \033[4:3mcurly\033[0m \033[4:4mdotted\033[0m \033[4:5mdashed\033[0m \033[4;58;5;196mred\033[0m \033[4:3;58;2;0;200;255mrgb\033[0m\n'
printf '\033[30mk\033[31mr\033[32mg\033[33my\033[34mb\033[35mm\033[36mc\033[37mw\033[90mK\033[91mR\033[92mG\033[93mY\033[94mB\033[95mM\033[96mC\033[97mW\033[0m fg\n'
printf '\033[40m  \033[41m  \033[42m  \033[43m  \033[44m  \033[45m  \033[46m  \033[47m  \033[0m bg\n'
if [ "$1" != no-bright-bg ]; then
    printf '\033[100m  \033[101m  \033[102m  \033[103m  \033[104m  \033[105m  \033[106m  \033[107m  \033[0m bright bg\n'
else
    printf 'no bright bg\n'
fi
printf '\033[38;5;16mA\033[38;5;51mB\033[38;5;196mC\033[38;5;231mD\033[38;5;232mE\033[38;5;244mF\033[38;5;255mG\033[0m \033[48;5;22m  \033[48;5;130m  \033[48;5;240m  \033[0m 256\n'
printf '\033[38;2;255;128;0morange\033[0m \033[48;2;16;32;48m  \033[48;2;200;100;50m  \033[0m \033[38;2;1;2;3;48;2;250;250;210mrgb\033[0m\n'
printf '\033[1;3;4;31;43mall\033[0m \033[7;32mrev green\033[0m \033[2;34mdim blue\033[0m \033[7;2;35;46mmix\033[0m\n'
printf 'wide: \033[32;44m\344\270\255\346\226\207\033[0m| combining: e\314\201 a\314\210|\n'
printf '\033(0lqwqk\033(B \033(0tqnqu\033(B \033(0mqvqj\033(B \033(0x\033(B\n'
printf '\033[44mblue to the end\033[K\033[0m\n'
printf 'escaped: <svg> & "quotes" \047apostrophes\047\n'
printf '\033[15;1HEND'
exec sleep 1000
