local i, total = 0, 0
while i < 10000000 do total = total + i i = i + 1 end
