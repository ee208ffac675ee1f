function save_picture(outdir, name, fig, heading)
  %SAVE_PICTURE Write figure FIG, headed HEADING, as OUTDIR/NAME.png (640 x 480), close it and say so.
  %   The heading goes across the top of the whole picture, so that it may be
  %   wider than the axes under it.
  axes(fig, 'position', [0 0.92 1 0.08], 'visible', 'off');
  text(0.5, 0.5, heading, 'horizontalalignment', 'center', 'fontweight', 'bold', ...
       'fontsize', 9, 'interpreter', 'none');
  file = fullfile(outdir, [name '.png']);
  if strcmp(get(fig, '__graphics_toolkit__'), 'gnuplot')
    device = '-dpngcairo';     % drawn by gnuplot itself, no Ghostscript needed
  else
    device = '-dpng';
  end
  % print warns where Ghostscript is missing; no PNG needs it.
  state = warning('off', 'print:nogs');
  print(fig, device, '-S640,480', file);
  warning(state);
  close(fig);
  printf('  wrote %s\n', file);
end
