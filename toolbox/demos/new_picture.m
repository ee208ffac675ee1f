function fig = new_picture(layout)
  %NEW_PICTURE An invisible figure for one of the demo's pictures.
  %   FIG = NEW_PICTURE('map') holds one axes with room beside it for a
  %   colour bar, NEW_PICTURE('plot') one axes over the whole width, and
  %   NEW_PICTURE('none') no axes; each leaves the top of the picture to the
  %   heading SAVE_PICTURE writes over it.
  %
  %   The pictures are drawn with gnuplot where Octave finds it: gnuplot needs
  %   no display, so the demo draws the same pictures in octave-cli on a
  %   machine without one as in the GUI. Without gnuplot the session's own
  %   graphics toolkit draws them.
  toolkits = available_graphics_toolkits();
  if any(strcmp(toolkits, 'gnuplot'))
    toolkit = 'gnuplot';
  elseif ~isempty(toolkits) && any(strcmp(toolkits, graphics_toolkit()))
    toolkit = graphics_toolkit();
  else
    error('bitexact_demo:noGraphics', ...
          ['bitexact_demo: Octave has no graphics toolkit here to draw the pictures; ' ...
           'octave-cli draws them with gnuplot (on Debian: apt-get install gnuplot-nox)']);
  end
  % Octave warns that its gnuplot toolkit is no longer developed; for
  % pictures written to files it does all the demo asks of it.
  state = warning('off', 'Octave:gnuplot-graphics');
  fig = figure('visible', 'off', '__graphics_toolkit__', toolkit);
  warning(state);
  % Defaults of the figure, which plotting into an axes keeps.
  set(fig, 'defaultaxesfontsize', 8, 'defaulttextfontsize', 8);
  switch layout
    case 'map'
      axes('position', [0.12 0.11 0.7 0.78]);
    case 'plot'
      axes('position', [0.1 0.11 0.86 0.78]);
    case 'none'
    otherwise
      error('bitexact_demo:layout', 'new_picture: unknown layout ''%s''', layout);
  end
end
